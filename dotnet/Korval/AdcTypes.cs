using System;

namespace Korval
{
    /// <summary>An analog input range, by its gain code.</summary>
    public enum AdcRange : byte
    {
        /// <summary>0 to 10 V.</summary>
        Unipolar10V = 0,
        /// <summary>-10 to +10 V.</summary>
        Bipolar10V = 1,
        /// <summary>0 to 5 V.</summary>
        Unipolar5V = 2,
        /// <summary>-5 to +5 V.</summary>
        Bipolar5V = 3,
        /// <summary>0 to 2 V.</summary>
        Unipolar2V = 4,
        /// <summary>-2 to +2 V.</summary>
        Bipolar2V = 5,
        /// <summary>0 to 1 V.</summary>
        Unipolar1V = 6,
        /// <summary>-1 to +1 V.</summary>
        Bipolar1V = 7,
    }

    /// <summary>A contiguous span of analog input channels, the way the board scans them.</summary>
    public readonly struct Channels : IEquatable<Channels>
    {
        /// <summary>The span from <paramref name="first"/> to <paramref name="last"/>, both included.</summary>
        /// <param name="first">The first channel, 0 or more.</param>
        /// <param name="last">The last channel, at or above <paramref name="first"/>.</param>
        /// <exception cref="ArgumentOutOfRangeException">A negative or reversed span.</exception>
        public Channels(int first, int last)
        {
            if (first < 0) throw new ArgumentOutOfRangeException(nameof(first), first, "a channel is 0 or more");
            if (last < first)
                throw new ArgumentOutOfRangeException(nameof(last), last, "the last channel is at or above the first (" + first + ")");
            if (last - first + 1 > 256)
                throw new ArgumentOutOfRangeException(nameof(last), last, "a measurement takes at most 256 channels");
            First = first;
            Last = last;
        }

        /// <summary>The span's first channel.</summary>
        public int First { get; }

        /// <summary>The span's last channel.</summary>
        public int Last { get; }

        /// <summary>The number of channels in the span.</summary>
        public int Count => Last - First + 1;

        /// <summary>The span from first to last, both included.</summary>
        /// <param name="first">The first channel.</param>
        /// <param name="last">The last channel.</param>
        /// <returns>The span.</returns>
        public static Channels Span(int first, int last) => new Channels(first, last);

        /// <summary>One channel alone.</summary>
        /// <param name="channel">The channel.</param>
        public static implicit operator Channels(int channel) => new Channels(channel, channel);

        /// <inheritdoc/>
        public bool Equals(Channels other) => First == other.First && Last == other.Last;

        /// <inheritdoc/>
        public override bool Equals(object obj) => obj is Channels other && Equals(other);

        /// <inheritdoc/>
        public override int GetHashCode() => First * 397 ^ Last;

        /// <inheritdoc/>
        public override string ToString() => First == Last ? First.ToString() : First + "-" + Last;
    }

    /// <summary>Which way the trigger channel crosses its level.</summary>
    public enum TriggerSlope
    {
        /// <summary>The channel rises through the level.</summary>
        Rising = 1,
        /// <summary>The channel falls through the level.</summary>
        Falling = 2,
    }

    /// <summary>
    /// A software trigger on one channel of the span, checked on every scan: a record starts
    /// <see cref="PreTriggerScans"/> scans before the first scan that crosses <see cref="Level"/> after the
    /// channel was beyond the hysteresis on the other side.
    /// </summary>
    public sealed class Trigger
    {
        /// <summary>A trigger on a channel of the span.</summary>
        /// <param name="channel">The trigger channel (a channel number within the span).</param>
        /// <param name="slope">Rising or falling.</param>
        /// <param name="level">The level in volts.</param>
        /// <param name="hysteresis">Volts, 0 or more: noise smaller than this does not trigger.</param>
        /// <param name="preTriggerScans">Scans kept from before the trigger scan.</param>
        public Trigger(int channel, TriggerSlope slope, double level, double hysteresis = 0, int preTriggerScans = 0)
        {
            if (slope != TriggerSlope.Rising && slope != TriggerSlope.Falling)
                throw new ArgumentOutOfRangeException(nameof(slope), slope, "the slope is Rising or Falling");
            if (double.IsNaN(level) || double.IsInfinity(level))
                throw new ArgumentOutOfRangeException(nameof(level), level, "the trigger level is a finite number of volts");
            if (!(hysteresis >= 0) || double.IsInfinity(hysteresis))
                throw new ArgumentOutOfRangeException(nameof(hysteresis), hysteresis, "the hysteresis is 0 volts or more");
            if (preTriggerScans < 0)
                throw new ArgumentOutOfRangeException(nameof(preTriggerScans), preTriggerScans, "pre-trigger scans are 0 or more");
            Channel = channel;
            Slope = slope;
            Level = level;
            Hysteresis = hysteresis;
            PreTriggerScans = preTriggerScans;
        }

        /// <summary>The trigger channel.</summary>
        public int Channel { get; }

        /// <summary>Rising or falling.</summary>
        public TriggerSlope Slope { get; }

        /// <summary>The level in volts.</summary>
        public double Level { get; }

        /// <summary>The hysteresis in volts.</summary>
        public double Hysteresis { get; }

        /// <summary>Scans kept from before the trigger scan.</summary>
        public int PreTriggerScans { get; }
    }

    /// <summary>
    /// A finished measurement: <see cref="Volts"/> and <see cref="Counts"/> are [scan, channel], with the
    /// time of each scan, the rate the board's counters made and when it started.
    /// </summary>
    public sealed class AdcMeasurement
    {
        internal AdcMeasurement(Channels channels, AdcRange range, double rate, double[,] volts, ushort[,] counts,
                                DateTimeOffset started, int triggerIndex, int ringGrowths)
        {
            Channels = channels;
            Range = range;
            Rate = rate;
            Volts = volts;
            Counts = counts;
            Started = started;
            TriggerIndex = triggerIndex;
            RingGrowths = ringGrowths;
        }

        /// <summary>The channels measured; column <c>c</c> holds channel <c>Channels.First + c</c>.</summary>
        public Channels Channels { get; }

        /// <summary>The range every channel was measured in.</summary>
        public AdcRange Range { get; }

        /// <summary>Scans per second as the board's counters made them (not always the rate asked).</summary>
        public double Rate { get; }

        /// <summary>Volts, [scan, channel].</summary>
        public double[,] Volts { get; }

        /// <summary>Counts, [scan, channel] (with oversample, the mean rounded).</summary>
        public ushort[,] Counts { get; }

        /// <summary>The number of scans.</summary>
        public int ScanCount => Volts.GetLength(0);

        /// <summary>
        /// Each scan's time in seconds: from the first scan, or, with a trigger, from the trigger scan
        /// (pre-trigger scans have negative times).
        /// </summary>
        public double[] Times
        {
            get
            {
                var times = new double[ScanCount];
                int zero = TriggerIndex < 0 ? 0 : TriggerIndex;
                for (int i = 0; i < times.Length; i++) times[i] = (i - zero) / Rate;
                return times;
            }
        }

        /// <summary>The host's UTC time of the first scan, from the first block's arrival.</summary>
        public DateTimeOffset Started { get; }

        /// <summary>With a trigger, the index of the trigger scan in <see cref="Volts"/>; else -1.</summary>
        public int TriggerIndex { get; }

        /// <summary>Times the library's ring grew because the reader fell behind (nothing was lost).</summary>
        public int RingGrowths { get; }

        /// <summary>One channel's volts, scan by scan.</summary>
        /// <param name="channel">The channel number (within <see cref="Channels"/>).</param>
        /// <returns>The volts.</returns>
        public double[] ChannelVolts(int channel)
        {
            int c = channel - Channels.First;
            if (c < 0 || c >= Channels.Count)
                throw new ArgumentOutOfRangeException(nameof(channel), channel, "channel " + channel + " was not measured (" + Channels + ")");
            var values = new double[ScanCount];
            for (int i = 0; i < values.Length; i++) values[i] = Volts[i, c];
            return values;
        }
    }

    /// <summary>What a block of a stream says about itself.</summary>
    [Flags]
    public enum BlockFlags : uint
    {
        /// <summary>Nothing to note.</summary>
        None = 0,
        /// <summary>The library's ring grew for this block: the reader had fallen behind; nothing was lost.</summary>
        Grown = 0x1,
        /// <summary>The stream's last block.</summary>
        Last = 0x2,
        /// <summary>The board is gone: every scan before it was delivered.</summary>
        Gone = 0x4,
        /// <summary>The block holds the trigger scan.</summary>
        Trigger = 0x8,
        /// <summary>The block starts a record.</summary>
        RecordStart = 0x10,
    }

    /// <summary>Scans of a stream, with their place since the start and the engine's notes.</summary>
    public sealed class AdcBlock
    {
        internal AdcBlock(double[,] volts, ushort[,] counts, ulong firstScan, double scanPeriod, long hostTimeNs,
                          long triggerScan, int record, BlockFlags flags)
        {
            Volts = volts;
            Counts = counts;
            FirstScan = firstScan;
            ScanPeriod = scanPeriod;
            HostTime = DateTimeOffset.FromUnixTimeMilliseconds(hostTimeNs / 1000000).AddTicks(hostTimeNs % 1000000 / 100);
            TriggerScan = triggerScan;
            Record = record;
            Flags = flags;
        }

        /// <summary>Volts, [scan, channel].</summary>
        public double[,] Volts { get; }

        /// <summary>Counts, [scan, channel].</summary>
        public ushort[,] Counts { get; }

        /// <summary>The number of scans in the block.</summary>
        public int ScanCount => Volts.GetLength(0);

        /// <summary>The index of the block's first scan since the stream started: a gap shows here.</summary>
        public ulong FirstScan { get; }

        /// <summary>Seconds from one scan to the next: 1 / the rate obtained.</summary>
        public double ScanPeriod { get; }

        /// <summary>Each scan's time in seconds since the stream's first scan.</summary>
        public double[] Times
        {
            get
            {
                var times = new double[ScanCount];
                for (int i = 0; i < times.Length; i++) times[i] = (FirstScan + (ulong)i) * ScanPeriod;
                return times;
            }
        }

        /// <summary>The host's UTC time when the block arrived.</summary>
        public DateTimeOffset HostTime { get; }

        /// <summary>The trigger scan's index since the start, when <see cref="BlockFlags.Trigger"/> is set; else -1.</summary>
        public long TriggerScan { get; }

        /// <summary>The record the block belongs to, from 0.</summary>
        public int Record { get; }

        /// <summary>The block's notes: grown, last, gone, trigger, record start.</summary>
        public BlockFlags Flags { get; }
    }
}
