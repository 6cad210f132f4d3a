using System;
using Korval.Native;

namespace Korval
{
    /// <summary>A board's immediate analog outputs, written in 16-bit counts.</summary>
    public sealed class Dac
    {
        private readonly Board board;

        internal Dac(Board board)
        {
            this.board = board;
        }

        /// <summary>Puts out a count on one channel.</summary>
        /// <param name="channel">The channel, 0 or more.</param>
        /// <param name="counts">The count, 0 to 65535.</param>
        /// <exception cref="ArgumentOutOfRangeException">A channel above 65535.</exception>
        public void Write(int channel, ushort counts)
        {
            if (channel < 0 || channel > ushort.MaxValue)
                throw new ArgumentOutOfRangeException(nameof(channel), channel, "a channel is 0 to 65535");
            Board.Check(NativeMethods.DACDirect(board.Slot, (ushort)channel, counts), "DACDirect");
        }

        /// <summary>Puts out counts on several channels at once, from channel 0 on.</summary>
        /// <param name="counts">One count per channel, channel 0 first.</param>
        /// <exception cref="ArgumentException">No counts given.</exception>
        public void WriteAll(params ushort[] counts)
        {
            if (counts == null || counts.Length == 0) throw new ArgumentException("no counts given", nameof(counts));
            var pairs = new KorvalDACPair[counts.Length];
            for (int i = 0; i < counts.Length; i++) pairs[i] = new KorvalDACPair { Channel = (ushort)i, Value = counts[i] };
            Board.Check(NativeMethods.DACMultiDirect(board.Slot, pairs, pairs.Length), "DACMultiDirect");
        }

        /// <summary>Sets the board-wide output range code (boards with a board range).</summary>
        /// <param name="range">The range code.</param>
        public void SetBoardRange(ushort range) => Board.Check(NativeMethods.DACSetBoardRange(board.Slot, range), "DACSetBoardRange");
    }

    /// <summary>A board's digital ports: 8 lines each, written and read a line, a port or all ports at a time.</summary>
    public sealed class Dio
    {
        private readonly Board board;

        internal Dio(Board board)
        {
            this.board = board;
        }

        /// <summary>The number of 8-bit ports.</summary>
        public int Ports => (int)board.Capabilities.DIOBytes;

        /// <summary>Sets which ports are outputs and their levels.</summary>
        /// <param name="outputMask">The direction mask: bit p set makes port p an output (as many bytes as the board's mask has).</param>
        /// <param name="levels">The output levels, one byte per port.</param>
        /// <param name="tristate">Floats the outputs.</param>
        /// <exception cref="ArgumentException">A mask or levels shorter than the board needs.</exception>
        public void Configure(byte[] outputMask, byte[] levels, bool tristate = false)
        {
            var caps = board.Capabilities;
            int maskBytes = (int)Math.Max(1, (caps.DIOConfigBits + 7) / 8);
            if (outputMask == null || outputMask.Length < maskBytes)
                throw new ArgumentException("the direction mask has " + maskBytes + " byte(s) on this board", nameof(outputMask));
            if (levels == null || levels.Length < caps.DIOBytes)
                throw new ArgumentException("the levels have one byte for each of the board's " + caps.DIOBytes + " ports", nameof(levels));
            Board.Check(NativeMethods.DIO_Configure(board.Slot, (byte)(tristate ? 1 : 0), outputMask, levels), "DIO_Configure");
        }

        /// <summary>Writes one port.</summary>
        /// <param name="port">The port, 0 or more.</param>
        /// <param name="value">Its 8 lines.</param>
        public void Write(int port, byte value)
        {
            if (port < 0) throw new ArgumentOutOfRangeException(nameof(port), port, "a port is 0 or more");
            Board.Check(NativeMethods.DIO_Write8(board.Slot, (uint)port, value), "DIO_Write8");
        }

        /// <summary>Writes one line.</summary>
        /// <param name="line">The line: port × 8 + bit.</param>
        /// <param name="high">Its level.</param>
        public void WriteLine(int line, bool high)
        {
            if (line < 0) throw new ArgumentOutOfRangeException(nameof(line), line, "a line is 0 or more");
            Board.Check(NativeMethods.DIO_Write1(board.Slot, (uint)line, (byte)(high ? 1 : 0)), "DIO_Write1");
        }

        /// <summary>Writes every port.</summary>
        /// <param name="values">One byte per port.</param>
        public void WriteAll(byte[] values)
        {
            int ports = Ports;
            if (values == null || values.Length < ports)
                throw new ArgumentException("one byte for each of the board's " + ports + " ports", nameof(values));
            Board.Check(NativeMethods.DIO_WriteAll(board.Slot, values), "DIO_WriteAll");
        }

        /// <summary>Reads one port.</summary>
        /// <param name="port">The port.</param>
        /// <returns>Its 8 lines.</returns>
        public byte Read(int port)
        {
            if (port < 0) throw new ArgumentOutOfRangeException(nameof(port), port, "a port is 0 or more");
            byte value = 0;
            Board.Check(NativeMethods.DIO_Read8(board.Slot, (uint)port, ref value), "DIO_Read8");
            return value;
        }

        /// <summary>Reads one line.</summary>
        /// <param name="line">The line: port × 8 + bit.</param>
        /// <returns>Its level.</returns>
        public bool ReadLine(int line)
        {
            if (line < 0) throw new ArgumentOutOfRangeException(nameof(line), line, "a line is 0 or more");
            byte bit = 0;
            Board.Check(NativeMethods.DIO_Read1(board.Slot, (uint)line, ref bit), "DIO_Read1");
            return bit != 0;
        }

        /// <summary>Reads every port.</summary>
        /// <returns>One byte per port.</returns>
        public byte[] ReadAll()
        {
            var values = new byte[Math.Max(1, Ports)];
            Board.Check(NativeMethods.DIO_ReadAll(board.Slot, values), "DIO_ReadAll");
            return values;
        }
    }

    /// <summary>A board's 8254 counters, named by block and counter, and its frequency output.</summary>
    public sealed class Counters
    {
        private readonly Board board;

        internal Counters(Board board)
        {
            this.board = board;
        }

        /// <summary>Programs a counter's mode and loads its count.</summary>
        /// <param name="block">The counter block.</param>
        /// <param name="counter">The counter in the block, 0 to 2.</param>
        /// <param name="mode">The 8254 mode, 0 to 5.</param>
        /// <param name="count">The count loaded.</param>
        /// <exception cref="ArgumentOutOfRangeException">A negative block, a counter beyond 2 or a mode beyond 5.</exception>
        public void ModeLoad(int block, int counter, int mode, ushort count)
        {
            CheckCounter(block, counter);
            if (mode < 0 || mode > 5) throw new ArgumentOutOfRangeException(nameof(mode), mode, "an 8254 mode is 0 to 5");
            Board.Check(NativeMethods.CTR_8254ModeLoad(board.Slot, (uint)block, (uint)counter, (uint)mode, count), "CTR_8254ModeLoad");
        }

        /// <summary>Reads a counter's count.</summary>
        /// <param name="block">The counter block.</param>
        /// <param name="counter">The counter in the block, 0 to 2.</param>
        /// <returns>The count.</returns>
        public ushort Read(int block, int counter)
        {
            CheckCounter(block, counter);
            ushort value = 0;
            Board.Check(NativeMethods.CTR_8254Read(board.Slot, (uint)block, (uint)counter, ref value), "CTR_8254Read");
            return value;
        }

        /// <summary>Makes counters 1 and 2 of a block a frequency source.</summary>
        /// <param name="block">The counter block.</param>
        /// <param name="hertz">The frequency asked for, more than 0.</param>
        /// <returns>The frequency the counters make.</returns>
        public double StartFrequency(int block, double hertz)
        {
            if (block < 0) throw new ArgumentOutOfRangeException(nameof(block), block, "a block is 0 or more");
            if (!(hertz > 0) || double.IsInfinity(hertz))
                throw new ArgumentOutOfRangeException(nameof(hertz), hertz, "the frequency is a positive number of hertz");
            double hz = hertz;
            Board.Check(NativeMethods.CTR_StartOutputFreq(board.Slot, (uint)block, ref hz), "CTR_StartOutputFreq");
            return hz;
        }

        /// <summary>Stops a block's frequency output.</summary>
        /// <param name="block">The counter block.</param>
        public void StopFrequency(int block)
        {
            if (block < 0) throw new ArgumentOutOfRangeException(nameof(block), block, "a block is 0 or more");
            double hz = 0;
            Board.Check(NativeMethods.CTR_StartOutputFreq(board.Slot, (uint)block, ref hz), "CTR_StartOutputFreq");
        }

        private static void CheckCounter(int block, int counter)
        {
            if (block < 0) throw new ArgumentOutOfRangeException(nameof(block), block, "a block is 0 or more");
            if (counter < 0 || counter > 2) throw new ArgumentOutOfRangeException(nameof(counter), counter, "a counter is 0 to 2 in its block");
        }
    }

    /// <summary>The EEPROM's custom area: 256 bytes, addresses 0x00 to 0xFF, for the application.</summary>
    public sealed class Eeprom
    {
        /// <summary>The size of the custom area in bytes.</summary>
        public const int Size = 256;

        private readonly Board board;

        internal Eeprom(Board board)
        {
            this.board = board;
        }

        /// <summary>Reads bytes of the custom area.</summary>
        /// <param name="address">The first address, 0 to 255.</param>
        /// <param name="count">The bytes wanted; address + count at most 256.</param>
        /// <returns>The bytes read.</returns>
        public byte[] Read(int address, int count)
        {
            CheckSpan(address, count);
            var data = new byte[count];
            uint size = (uint)count;
            Board.Check(NativeMethods.CustomEEPROMRead(board.Slot, (uint)address, ref size, data), "CustomEEPROMRead");
            if (size < data.Length) Array.Resize(ref data, (int)size);
            return data;
        }

        /// <summary>Writes bytes to the custom area.</summary>
        /// <param name="address">The first address, 0 to 255.</param>
        /// <param name="data">The bytes; address + length at most 256.</param>
        public void Write(int address, byte[] data)
        {
            if (data == null) throw new ArgumentNullException(nameof(data));
            CheckSpan(address, data.Length);
            Board.Check(NativeMethods.CustomEEPROMWrite(board.Slot, (uint)address, (uint)data.Length, data), "CustomEEPROMWrite");
        }

        private static void CheckSpan(int address, int count)
        {
            if (address < 0 || address >= Size) throw new ArgumentOutOfRangeException(nameof(address), address, "an address is 0 to 255");
            if (count <= 0 || address + count > Size)
                throw new ArgumentOutOfRangeException(nameof(count), count, "the bytes lie within the 256-byte custom area");
        }
    }

    /// <summary>The board's flash: the first 1 MiB, in 64 KiB sectors, read and written in whole 16-bit words.</summary>
    public sealed class Flash
    {
        /// <summary>The bytes of the flash the library reaches.</summary>
        public const int Size = 1 << 20;

        /// <summary>The bytes of one sector.</summary>
        public const int SectorSize = 1 << 16;

        private readonly Board board;

        internal Flash(Board board)
        {
            this.board = board;
        }

        /// <summary>Reads bytes of the flash.</summary>
        /// <param name="address">The first byte address, even.</param>
        /// <param name="count">The bytes wanted, even.</param>
        /// <returns>The bytes read.</returns>
        public byte[] Read(int address, int count)
        {
            CheckSpan(address, count);
            var data = new byte[count];
            uint size = (uint)count;
            Board.Check(NativeMethods.KORVAL_FlashRead(board.Slot, (uint)address, ref size, data), "KORVAL_FlashRead");
            if (size < data.Length) Array.Resize(ref data, (int)size);
            return data;
        }

        /// <summary>Writes bytes to the flash (erase their sector first: a write only clears bits).</summary>
        /// <param name="address">The first byte address, even.</param>
        /// <param name="data">The bytes, an even count.</param>
        public void Write(int address, byte[] data)
        {
            if (data == null) throw new ArgumentNullException(nameof(data));
            CheckSpan(address, data.Length);
            Board.Check(NativeMethods.KORVAL_FlashWrite(board.Slot, (uint)address, (uint)data.Length, data), "KORVAL_FlashWrite");
        }

        /// <summary>Erases one 64 KiB sector (every bit set).</summary>
        /// <param name="sector">The sector, 0 or more.</param>
        public void EraseSector(int sector)
        {
            if (sector < 0 || sector >= Size / SectorSize)
                throw new ArgumentOutOfRangeException(nameof(sector), sector, "a sector is 0 to " + (Size / SectorSize - 1));
            Board.Check(NativeMethods.KORVAL_FlashEraseSector(board.Slot, sector), "KORVAL_FlashEraseSector");
        }

        private static void CheckSpan(int address, int count)
        {
            if (address < 0 || address >= Size || address % 2 != 0)
                throw new ArgumentOutOfRangeException(nameof(address), address, "a flash address is even, below 1 MiB");
            if (count <= 0 || count % 2 != 0 || (long)address + count > Size)
                throw new ArgumentOutOfRangeException(nameof(count), count, "an even count of bytes within the first 1 MiB");
        }
    }
}
