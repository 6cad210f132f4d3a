using System;
using System.Runtime.InteropServices;
using System.Threading;
using Korval.Native;

namespace Korval
{
    /// <summary>
    /// A board's analog inputs: <see cref="Read"/> measures a span of channels at a rate and returns the
    /// scans; <see cref="Stream"/> hands them over in blocks while the board keeps measuring.
    /// </summary>
    public sealed class Adc
    {
        private readonly Board board;

        internal Adc(Board board)
        {
            this.board = board;
        }

        /// <summary>
        /// Measures <paramref name="scans"/> scans of <paramref name="channels"/> at <paramref name="rate"/>
        /// scans per second on the board's scan clock, and returns them in volts and counts.
        /// </summary>
        /// <param name="scans">The number of scans, 1 or more.</param>
        /// <param name="rate">Scans per second asked for; the measurement reports the rate obtained.</param>
        /// <param name="channels">The span of channels, such as <c>Channels.Span(0, 3)</c>, or one channel.</param>
        /// <param name="range">The range of every channel.</param>
        /// <param name="oversample">Extra conversions per channel, 0 to 255 (a channel's value is their mean).</param>
        /// <param name="timeout">How long to wait for all scans; null: twice the measurement's length and 5 s more.</param>
        /// <param name="cancel">Ends the wait early with <see cref="OperationCanceledException"/>.</param>
        /// <returns>The measurement.</returns>
        /// <exception cref="ArgumentException">A bad argument; nothing was sent to the board.</exception>
        /// <exception cref="KorvalException">The library or the board refused or failed (1617 after an unplug).</exception>
        /// <exception cref="TimeoutException">The scans did not all come in time.</exception>
        public AdcMeasurement Read(int scans, double rate, Channels channels, AdcRange range = AdcRange.Bipolar10V,
                                   int oversample = 0, TimeSpan? timeout = null, CancellationToken cancel = default)
        {
            return Measure(scans, rate, channels, range, oversample, null, timeout, cancel);
        }

        /// <summary>
        /// Waits for <paramref name="trigger"/> and records <paramref name="scans"/> scans around it
        /// (its pre-trigger scans, the trigger scan and the rest after it).
        /// </summary>
        /// <param name="scans">The record's scans, more than the trigger's pre-trigger scans.</param>
        /// <param name="rate">Scans per second asked for.</param>
        /// <param name="channels">The span of channels.</param>
        /// <param name="range">The range of every channel.</param>
        /// <param name="trigger">The trigger; its channel lies in the span.</param>
        /// <param name="timeout">How long to wait for the record; null: twice its length and 5 s more.</param>
        /// <param name="cancel">Ends the wait early with <see cref="OperationCanceledException"/>.</param>
        /// <returns>The record; <see cref="AdcMeasurement.TriggerIndex"/> is the trigger scan.</returns>
        /// <exception cref="ArgumentException">A bad argument; nothing was sent to the board.</exception>
        /// <exception cref="KorvalException">The library or the board refused or failed.</exception>
        /// <exception cref="TimeoutException">No trigger, or not all scans, in time.</exception>
        public AdcMeasurement ReadTriggered(int scans, double rate, Channels channels, AdcRange range, Trigger trigger,
                                            TimeSpan? timeout = null, CancellationToken cancel = default)
        {
            if (trigger == null) throw new ArgumentNullException(nameof(trigger));
            return Measure(scans, rate, channels, range, 0, trigger, timeout, cancel);
        }

        /// <summary>
        /// Starts measuring <paramref name="channels"/> at <paramref name="rate"/> until the stream is
        /// disposed (or <paramref name="scans"/> scans, when given). Enumerate it for blocks.
        /// </summary>
        /// <param name="rate">Scans per second asked for; <see cref="AdcStream.Rate"/> is the rate obtained.</param>
        /// <param name="channels">The span of channels.</param>
        /// <param name="range">The range of every channel.</param>
        /// <param name="blockSeconds">Seconds per block (0.05 by default).</param>
        /// <param name="scans">Scans in all, or 0 until disposed.</param>
        /// <param name="oversample">Extra conversions per channel, 0 to 255.</param>
        /// <param name="cancel">Ends the enumeration, which then stops the measurement.</param>
        /// <returns>The running stream; dispose it to stop the measurement.</returns>
        /// <exception cref="ArgumentException">A bad argument; nothing was sent to the board.</exception>
        /// <exception cref="KorvalException">The library or the board refused.</exception>
        public AdcStream Stream(double rate, Channels channels, AdcRange range = AdcRange.Bipolar10V,
                                double blockSeconds = 0.05, long scans = 0, int oversample = 0,
                                CancellationToken cancel = default)
        {
            if (!(blockSeconds > 0) || double.IsInfinity(blockSeconds))
                throw new ArgumentOutOfRangeException(nameof(blockSeconds), blockSeconds, "seconds per block are more than 0");
            if (scans < 0) throw new ArgumentOutOfRangeException(nameof(scans), scans, "scans are 0 (until disposed) or more");
            var settings = Settings(scans == 0 ? 1 : scans, rate, channels, range, oversample, null);
            settings.Scans = (ulong)scans;
            // Blocks of a fixed size, so that each is read straight into arrays of its own size.
            int blockScans = (int)Math.Min(1 << 20, Math.Max(1, Math.Round(rate * blockSeconds)));
            settings.BlockScans = (uint)blockScans;
            return new AdcStream(Start(ref settings), settings, channels, blockScans, cancel);
        }

        private AdcMeasurement Measure(int scans, double rate, Channels channels, AdcRange range, int oversample,
                                       Trigger trigger, TimeSpan? timeout, CancellationToken cancel)
        {
            if (scans <= 0) throw new ArgumentOutOfRangeException(nameof(scans), scans, "scans are 1 or more");
            var settings = Settings(scans, rate, channels, range, oversample, trigger);
            TimeSpan limit = timeout ?? TimeSpan.FromSeconds(2.0 * scans / rate + 5.0);
            if (limit <= TimeSpan.Zero) throw new ArgumentOutOfRangeException(nameof(timeout), timeout, "the timeout is more than 0");
            using (var native = Start(ref settings))
            {
                int count = channels.Count;
                var volts = new double[scans, count];
                var counts = new ushort[scans, count];
                int filled = 0, triggerIndex = -1;
                long startedNs = 0;
                var clock = System.Diagnostics.Stopwatch.StartNew();
                while (true)
                {
                    cancel.ThrowIfCancellationRequested();
                    var block = NewBlock();
                    uint code;
                    unsafe
                    {
                        fixed (double* v = &volts[0, 0])
                        fixed (ushort* c = &counts[0, 0])
                        {
                            code = Measurements.Read(native.Handle, ref block, v + (long)filled * count,
                                                     c + (long)filled * count, (uint)(scans - filled), 50);
                        }
                    }
                    if (code == 1460)
                    {
                        if (clock.Elapsed > limit)
                            throw new TimeoutException("the measurement's " + scans + " scans did not come within " + limit.TotalSeconds + " s");
                        continue;
                    }
                    if (code == 38) break;
                    ResultCodes.Check(code, "KORVAL_MeasureRead");
                    if (filled == 0 && block.ScanCount > 0) startedNs = block.HostTimeNs - (long)(block.ScanCount * block.ScanPeriod * 1e9);
                    if ((block.Flags & 0x8u) != 0 && block.TriggerScan >= 0)
                        triggerIndex = filled + (int)(block.TriggerScan - (long)block.FirstScan);
                    filled += (int)block.ScanCount;
                    if ((block.Flags & 0x2u) != 0)
                    {
                        ResultCodes.Check(block.Result, "KORVAL_MeasureRead");
                        break;
                    }
                }
                if (filled != scans)
                    throw new KorvalException(38, "KORVAL_MeasureRead");
                var status = native.Status();
                var started = DateTimeOffset.FromUnixTimeMilliseconds(startedNs / 1000000);
                return new AdcMeasurement(channels, range, settings.Rate, volts, counts, started, triggerIndex, (int)status.RingGrowths);
            }
        }

        internal static KorvalMeasureBlock NewBlock() =>
            new KorvalMeasureBlock { Size = (uint)Marshal.SizeOf<KorvalMeasureBlock>() };

        private KorvalMeasureSettings Settings(long scans, double rate, Channels channels, AdcRange range, int oversample, Trigger trigger)
        {
            if (!(rate > 0) || double.IsInfinity(rate))
                throw new ArgumentOutOfRangeException(nameof(rate), rate, "the rate is a positive number of scans per second");
            if ((byte)range > 7) throw new ArgumentOutOfRangeException(nameof(range), range, "a range is one of AdcRange's");
            if (oversample < 0 || oversample > 255)
                throw new ArgumentOutOfRangeException(nameof(oversample), oversample, "oversample is 0 to 255");
            if (channels.Count == 0) throw new ArgumentException("no channels given", nameof(channels));
            if (trigger != null)
            {
                if (trigger.Channel < channels.First || trigger.Channel > channels.Last)
                    throw new ArgumentOutOfRangeException(nameof(trigger), trigger.Channel,
                        "the trigger channel " + trigger.Channel + " is not in the span " + channels);
                if (trigger.PreTriggerScans >= scans)
                    throw new ArgumentOutOfRangeException(nameof(trigger), trigger.PreTriggerScans,
                        "pre-trigger scans are fewer than the record's " + scans + " scans");
            }
            var caps = board.Capabilities;
            if (caps.ADCBulk == 0) throw new KorvalException(1349, "KORVAL_MeasureCreate");
            if (channels.Last >= caps.ADCMUXChannels)
                throw new ArgumentOutOfRangeException(nameof(channels), channels,
                    "the board has channels 0 to " + (caps.ADCMUXChannels - 1));
            var settings = new KorvalMeasureSettings
            {
                Size = (uint)Marshal.SizeOf<KorvalMeasureSettings>(),
                FirstChannel = (uint)channels.First,
                LastChannel = (uint)channels.Last,
                RangeCount = 1,
                Ranges = new byte[256],
                Oversample = (uint)oversample,
                Rate = rate,
                Scans = (ulong)scans,
            };
            settings.Ranges[0] = (byte)range;
            if (trigger != null)
            {
                settings.Trigger = new KorvalTrigger
                {
                    Slope = (uint)trigger.Slope,
                    Channel = (uint)trigger.Channel,
                    Level = trigger.Level,
                    Hysteresis = trigger.Hysteresis,
                    PreTriggerScans = (uint)trigger.PreTriggerScans,
                    Records = 1,
                };
            }
            return settings;
        }

        private NativeMeasurement Start(ref KorvalMeasureSettings settings)
        {
            ResultCodes.Check(NativeMethods.KORVAL_MeasureCreate(board.Slot, out IntPtr handle), "KORVAL_MeasureCreate");
            var native = new NativeMeasurement(handle);
            uint code = NativeMethods.KORVAL_MeasureStart(handle, ref settings, null, IntPtr.Zero);
            if (code != 0)
            {
                native.Dispose();
                if (code == 87)
                    throw new ArgumentException("the library refused the measurement (87, ERROR_INVALID_PARAMETER): a channel, range or rate the board cannot take; nothing was sent to the board");
                throw new KorvalException(code, "KORVAL_MeasureStart");
            }
            return native;
        }
    }

    /// <summary>The imports that take the caller's buffers as pointers, so a block lands where it belongs.</summary>
    internal static class Measurements
    {
        [DllImport(NativeMethods.Library, EntryPoint = "KORVAL_MeasureRead")]
        internal static extern unsafe uint Read(IntPtr measurement, ref KorvalMeasureBlock block, double* volts,
                                                ushort* counts, uint capacityScans, uint timeoutMs);
    }

    /// <summary>A measurement object of the library, stopped and freed once.</summary>
    internal sealed class NativeMeasurement : IDisposable
    {
        private IntPtr handle;

        internal NativeMeasurement(IntPtr handle)
        {
            this.handle = handle;
        }

        internal IntPtr Handle => handle;

        internal KorvalMeasureStatus Status()
        {
            var status = new KorvalMeasureStatus { Size = (uint)Marshal.SizeOf<KorvalMeasureStatus>() };
            ResultCodes.Check(NativeMethods.KORVAL_MeasureGetStatus(handle, ref status), "KORVAL_MeasureGetStatus");
            return status;
        }

        public void Dispose()
        {
            IntPtr h = Interlocked.Exchange(ref handle, IntPtr.Zero);
            // Destroy stops a running measurement and joins its threads, also after an unplug.
            if (h != IntPtr.Zero) NativeMethods.KORVAL_MeasureDestroy(h);
            GC.SuppressFinalize(this);
        }

        ~NativeMeasurement()
        {
            IntPtr h = Interlocked.Exchange(ref handle, IntPtr.Zero);
            if (h != IntPtr.Zero) NativeMethods.KORVAL_MeasureDestroy(h);
        }
    }
}
