using System;
using System.Collections.Generic;
using System.Text;
using Korval.Native;

namespace Korval
{
    /// <summary>
    /// A board in one of the library's 32 slots. Get one with <see cref="First"/>, <see cref="Only"/>,
    /// <see cref="At"/> or <see cref="List"/>; its subsystems are <see cref="Adc"/>, <see cref="Dac"/>,
    /// <see cref="Dio"/>, <see cref="Counters"/>, <see cref="Eeprom"/> and <see cref="Flash"/>.
    /// </summary>
    public sealed class Board
    {
        /// <summary>The number of slots in the library's device table.</summary>
        public const int SlotCount = 32;

        private Board(uint slot)
        {
            Slot = slot;
            Adc = new Adc(this);
            Dac = new Dac(this);
            Dio = new Dio(this);
            Counters = new Counters(this);
            Eeprom = new Eeprom(this);
            Flash = new Flash(this);
        }

        /// <summary>The board's slot, 0 to 31: the device index every call on it passes.</summary>
        public uint Slot { get; }

        /// <summary>The analog inputs: measurements at a rate, streams of blocks.</summary>
        public Adc Adc { get; }

        /// <summary>The immediate analog outputs.</summary>
        public Dac Dac { get; }

        /// <summary>The digital ports.</summary>
        public Dio Dio { get; }

        /// <summary>The 8254 counters and the frequency output.</summary>
        public Counters Counters { get; }

        /// <summary>The EEPROM's custom area of 256 bytes.</summary>
        public Eeprom Eeprom { get; }

        /// <summary>The board's flash memory.</summary>
        public Flash Flash { get; }

        /// <summary>The slots that hold a usable board, after a new look for boards.</summary>
        /// <returns>The boards, lowest slot first.</returns>
        public static IReadOnlyList<Board> List()
        {
            LibraryResolver.Install();
            uint mask = NativeMethods.GetDevices();
            var boards = new List<Board>();
            for (uint slot = 0; slot < SlotCount; slot++)
            {
                if ((mask & (1u << (int)slot)) != 0) boards.Add(new Board(slot));
            }
            return boards;
        }

        /// <summary>The board in the lowest slot that holds one.</summary>
        /// <returns>The board.</returns>
        /// <exception cref="KorvalException">2 (<c>ERROR_FILE_NOT_FOUND</c>): no board is attached.</exception>
        public static Board First()
        {
            var boards = List();
            if (boards.Count == 0) throw new KorvalException(2, "GetDevices");
            return boards[0];
        }

        /// <summary>The one board attached.</summary>
        /// <returns>The board.</returns>
        /// <exception cref="KorvalException">2: no board is attached; 52 (<c>ERROR_DUP_NAME</c>): several are.</exception>
        public static Board Only()
        {
            var boards = List();
            if (boards.Count == 0) throw new KorvalException(2, "GetDevices");
            if (boards.Count > 1) throw new KorvalException(52, "GetDevices");
            return boards[0];
        }

        /// <summary>The board in a slot. Nothing is sent: a call on an empty slot fails with 2.</summary>
        /// <param name="slot">The slot, 0 to 31.</param>
        /// <returns>The board.</returns>
        /// <exception cref="ArgumentOutOfRangeException">The slot is not 0 to 31.</exception>
        public static Board At(int slot)
        {
            if (slot < 0 || slot >= SlotCount)
                throw new ArgumentOutOfRangeException(nameof(slot), slot, "a slot is 0 to 31");
            LibraryResolver.Install();
            return new Board((uint)slot);
        }

        /// <summary>The board's USB product ID.</summary>
        public uint ProductId => Info().pid;

        /// <summary>The board's product name.</summary>
        public string Name => Info().name;

        /// <summary>What the board can do, from the product table.</summary>
        public KorvalCapabilities Capabilities
        {
            get
            {
                var caps = new KorvalCapabilities { Size = (uint)System.Runtime.InteropServices.Marshal.SizeOf<KorvalCapabilities>() };
                Check(NativeMethods.KORVAL_GetCapabilities(Slot, ref caps), "KORVAL_GetCapabilities");
                return caps;
            }
        }

        /// <summary>The board's 64-bit serial number.</summary>
        public ulong SerialNumber
        {
            get
            {
                ulong serial = 0;
                Check(NativeMethods.GetDeviceSerialNumber(Slot, ref serial), "GetDeviceSerialNumber");
                return serial;
            }
        }

        /// <summary>Closes the board's slot (or clears its removal mark after an unplug).</summary>
        public void Close() => Check(NativeMethods.KORVAL_CloseDevice(Slot), "KORVAL_CloseDevice");

        /// <inheritdoc/>
        public override string ToString() => "Korval board in slot " + Slot;

        internal static void Check(uint code, string function) => ResultCodes.Check(code, function);

        private (uint pid, string name) Info()
        {
            uint pid = 0, size = 64, dio = 0, counters = 0;
            var name = new byte[64];
            Check(NativeMethods.QueryDeviceInfo(Slot, ref pid, ref size, name, ref dio, ref counters), "QueryDeviceInfo");
            int length = Array.IndexOf(name, (byte)0, 0, (int)Math.Min(size, 64));
            return (pid, Encoding.ASCII.GetString(name, 0, length < 0 ? (int)Math.Min(size, 64) : length));
        }
    }
}
