using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using Korval.Native;

namespace Korval
{
    /// <summary>How a simulated board is reached.</summary>
    public enum SimPath : uint
    {
        /// <summary>The WinUSB device-interface class, opened exclusively.</summary>
        WinUsb = 0,
        /// <summary>The DeviceIoControl driver class, opened shared.</summary>
        Ioctl = 1,
    }

    /// <summary>The shape of a simulated analog input's signal.</summary>
    public enum SimSignal : uint
    {
        /// <summary>The offset, in volts.</summary>
        Constant = 0,
        /// <summary>offset + amplitude × sin(2π f t).</summary>
        Sine = 1,
        /// <summary>offset + amplitude in each period's first half, offset - amplitude after.</summary>
        Square = 2,
        /// <summary>From offset - amplitude up to offset + amplitude in each period.</summary>
        Ramp = 3,
        /// <summary>offset + amplitude × uniform(-1, 1), the same values for the same seed.</summary>
        Noise = 4,
    }

    /// <summary>
    /// Simulated boards in place of the system's for as long as the object lives: making it installs
    /// the simulated host (the library then sees only its boards, in the order added), disposing it puts
    /// the system's host back and frees the boards. End every stream on its boards first.
    /// </summary>
    public sealed class Simulation : IDisposable
    {
        private IntPtr sim;

        /// <summary>Makes a simulation with no boards and installs it.</summary>
        /// <param name="winUsb">Whether the simulated system offers WinUSB.</param>
        public Simulation(bool winUsb = true)
        {
            LibraryResolver.Install();
            sim = NativeMethods.KorvalSim_Create();
            if (sim == IntPtr.Zero) throw new OutOfMemoryException("the simulation could not be made");
            if (!winUsb) Check(NativeMethods.KorvalSim_SetWinUsbAvailable(sim, 0), "KorvalSim_SetWinUsbAvailable");
            uint code = NativeMethods.KORVAL_InstallHost(NativeMethods.KorvalSim_Host(sim));
            if (code != 0)
            {
                NativeMethods.KorvalSim_Destroy(sim);
                sim = IntPtr.Zero;
                throw new KorvalException(code, "KORVAL_InstallHost");
            }
        }

        /// <summary>The simulation's handle, for the <c>KorvalSim_</c> functions of <see cref="NativeMethods"/>.</summary>
        public IntPtr Handle => sim;

        /// <summary>Attaches a board with a USB product ID; the library finds it at its next look.</summary>
        /// <param name="productId">The product ID, such as 0x8040.</param>
        /// <param name="path">The driver path it is reached by.</param>
        /// <returns>The simulated board.</returns>
        /// <exception cref="ArgumentException">A product ID or path the simulation does not know.</exception>
        public SimBoard AddBoard(uint productId, SimPath path = SimPath.WinUsb)
        {
            uint number = NativeMethods.KorvalSim_AddBoard(Live(), productId, (uint)path);
            if (number == 0) throw new ArgumentException("no simulated board has product ID 0x" + productId.ToString("X4") + " on path " + path, nameof(productId));
            return new SimBoard(this, number, productId);
        }

        /// <summary>Puts the system's host back and frees the simulation and its boards.</summary>
        public void Dispose()
        {
            if (sim == IntPtr.Zero) return;
            NativeMethods.KORVAL_InstallHost(IntPtr.Zero);
            NativeMethods.KorvalSim_Destroy(sim);
            sim = IntPtr.Zero;
        }

        internal IntPtr Live()
        {
            if (sim == IntPtr.Zero) throw new ObjectDisposedException(nameof(Simulation));
            return sim;
        }

        internal static void Check(uint code, string function) => ResultCodes.Check(code, function);
    }

    /// <summary>One transfer a simulated board saw, as its log keeps it.</summary>
    public sealed class SimTransfer
    {
        internal SimTransfer(KorvalSimTransfer entry, byte[] data)
        {
            Sequence = entry.sequence;
            Kind = entry.kind;
            Setup = entry.setup;
            Endpoint = entry.endpoint;
            LengthAsked = entry.length_asked;
            LengthMoved = entry.length_moved;
            Error = entry.error;
            Data = data;
        }

        /// <summary>1, 2, ... per board.</summary>
        public ulong Sequence { get; }

        /// <summary>1 control, 2 bulk in, 3 bulk out, 4 descriptor, 5 pipe query.</summary>
        public uint Kind { get; }

        /// <summary>The setup packet of control and descriptor transfers.</summary>
        public byte[] Setup { get; }

        /// <summary>The request code of a control transfer.</summary>
        public byte Request => Setup[1];

        /// <summary>The control transfer's wValue.</summary>
        public ushort Value => (ushort)(Setup[2] | Setup[3] << 8);

        /// <summary>The control transfer's wIndex.</summary>
        public ushort Index => (ushort)(Setup[4] | Setup[5] << 8);

        /// <summary>The endpoint address of a bulk transfer.</summary>
        public byte Endpoint { get; }

        /// <summary>The data bytes asked for.</summary>
        public uint LengthAsked { get; }

        /// <summary>The data bytes moved.</summary>
        public uint LengthMoved { get; }

        /// <summary>0, or the error the transfer failed with.</summary>
        public uint Error { get; }

        /// <summary>OUT: what the host sent; IN: what the board answered.</summary>
        public byte[] Data { get; }
    }

    /// <summary>A board of a <see cref="Simulation"/>: its signals, unplugging, its log and its state.</summary>
    public sealed class SimBoard
    {
        private readonly Simulation simulation;

        internal SimBoard(Simulation simulation, uint number, uint productId)
        {
            this.simulation = simulation;
            Number = number;
            ProductId = productId;
        }

        /// <summary>The board's number in the simulation (1, 2, ...).</summary>
        public uint Number { get; }

        /// <summary>The board's product ID.</summary>
        public uint ProductId { get; }

        /// <summary>Sets the signal at one analog input, or at all of them.</summary>
        /// <param name="channel">The channel, or -1 for every channel.</param>
        /// <param name="kind">The signal's shape.</param>
        /// <param name="offset">Volts.</param>
        /// <param name="amplitude">Volts.</param>
        /// <param name="frequency">Hertz.</param>
        /// <param name="seed">The noise's seed.</param>
        public void SetSignal(int channel, SimSignal kind, double offset, double amplitude = 0, double frequency = 0, uint seed = 0)
        {
            if (channel < -1 || channel > 255) throw new ArgumentOutOfRangeException(nameof(channel), channel, "a channel is 0 to 255, or -1 for all");
            var signal = new KorvalSimAdcSignal { kind = (uint)kind, seed = seed, offset = offset, amplitude = amplitude, frequency = frequency };
            Simulation.Check(NativeMethods.KorvalSim_SetAdcSignal(simulation.Live(), Number, channel < 0 ? 0xFFFFFFFFu : (uint)channel, ref signal),
                             "KorvalSim_SetAdcSignal");
        }

        /// <summary>Unplugs the board: calls on it then fail with 1617.</summary>
        public void Unplug() => Simulation.Check(NativeMethods.KorvalSim_Unplug(simulation.Live(), Number), "KorvalSim_Unplug");

        /// <summary>Plugs the board in again.</summary>
        public void Replug() => Simulation.Check(NativeMethods.KorvalSim_Replug(simulation.Live(), Number), "KorvalSim_Replug");

        /// <summary>From the next discovery the board is one this program cannot open (5: access denied):
        /// it holds no slot and is listed as unusable. 0 makes it usable again.</summary>
        public void SetUnusable(uint error = 5) =>
            Simulation.Check(NativeMethods.KorvalSim_SetUnusable(simulation.Live(), Number, error), "KorvalSim_SetUnusable");

        /// <summary>Sets the board's serial number.</summary>
        /// <param name="serial">The serial number.</param>
        public void SetSerialNumber(ulong serial) =>
            Simulation.Check(NativeMethods.KorvalSim_SetSerialNumber(simulation.Live(), Number, serial), "KorvalSim_SetSerialNumber");

        /// <summary>Sets the outside levels at the digital inputs.</summary>
        /// <param name="levels">One byte per port, port 0 first.</param>
        public void SetDigitalInputs(params byte[] levels)
        {
            if (levels == null || levels.Length == 0) throw new ArgumentException("no levels given", nameof(levels));
            Simulation.Check(NativeMethods.KorvalSim_SetDigitalInputs(simulation.Live(), Number, levels, (uint)levels.Length), "KorvalSim_SetDigitalInputs");
        }

        /// <summary>The digital ports as the board holds them.</summary>
        /// <returns>The state.</returns>
        public KorvalSimDigitalState DigitalState()
        {
            var state = new KorvalSimDigitalState();
            Simulation.Check(NativeMethods.KorvalSim_GetDigitalState(simulation.Live(), Number, ref state), "KorvalSim_GetDigitalState");
            return state;
        }

        /// <summary>The last count put out on each immediate analog output.</summary>
        /// <returns>One count per channel.</returns>
        public ushort[] DacValues()
        {
            var values = new ushort[64];
            uint count = (uint)values.Length;
            Simulation.Check(NativeMethods.KorvalSim_GetDacValues(simulation.Live(), Number, values, ref count), "KorvalSim_GetDacValues");
            Array.Resize(ref values, (int)Math.Min(count, (uint)values.Length));
            return values;
        }

        /// <summary>One counter as the board holds it.</summary>
        /// <param name="counter">The flat counter number (block × 3 + counter).</param>
        /// <returns>The counter's state.</returns>
        public KorvalSimCounter Counter(int counter)
        {
            var state = new KorvalSimCounter();
            Simulation.Check(NativeMethods.KorvalSim_GetCounter(simulation.Live(), Number, (uint)counter, ref state), "KorvalSim_GetCounter");
            return state;
        }

        /// <summary>The transfers the board saw, oldest first, with their data.</summary>
        /// <returns>The log.</returns>
        public IReadOnlyList<SimTransfer> Log()
        {
            IntPtr sim = simulation.Live();
            uint count = NativeMethods.KorvalSim_LogCount(sim, Number);
            var log = new List<SimTransfer>((int)count);
            for (uint i = 0; i < count; i++)
            {
                var entry = new KorvalSimTransfer();
                if (NativeMethods.KorvalSim_LogEntry(sim, Number, i, ref entry, null, 0) != 0) break;
                var data = new byte[entry.data_size];
                if (data.Length > 0)
                    Simulation.Check(NativeMethods.KorvalSim_LogEntry(sim, Number, i, ref entry, data, (uint)data.Length), "KorvalSim_LogEntry");
                log.Add(new SimTransfer(entry, data));
            }
            return log;
        }

        /// <summary>Empties the board's log.</summary>
        public void ClearLog() => Simulation.Check(NativeMethods.KorvalSim_ClearLog(simulation.Live(), Number), "KorvalSim_ClearLog");
    }
}
