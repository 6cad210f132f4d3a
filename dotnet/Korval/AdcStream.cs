using System;
using System.Collections;
using System.Collections.Generic;
using System.Threading;
using System.Threading.Tasks;
using Korval.Native;

namespace Korval
{
    /// <summary>
    /// A running measurement that hands over its scans in blocks, each with its index since the start.
    /// Enumerate it once (<c>foreach</c>, or <c>await foreach</c> on .NET); the enumeration ends after the
    /// last block, when the stream is disposed or when its cancellation token fires. Disposing it stops the
    /// measurement and frees it; blocks not yet read are dropped. An unplug ends it with a
    /// <see cref="KorvalException"/> (1617) after every scan that reached the host.
    /// </summary>
    public sealed class AdcStream : IEnumerable<AdcBlock>, IDisposable
#if NETCOREAPP3_0_OR_GREATER
        , IAsyncEnumerable<AdcBlock>
#endif
    {
        private const uint SliceMs = 50;
        private readonly object gate = new object();
        private readonly NativeMeasurement native;
        private readonly CancellationToken cancel;
        private readonly int channelCount;
        private int blockScans;
        private bool ended;
        private bool disposed;
        private int enumerated;

        internal AdcStream(NativeMeasurement native, KorvalMeasureSettings settings, Channels channels, int blockScans,
                           CancellationToken cancel)
        {
            this.native = native;
            this.cancel = cancel;
            this.blockScans = blockScans;
            channelCount = channels.Count;
            Channels = channels;
            Range = (AdcRange)settings.Ranges[0];
            Rate = settings.Rate;
        }

        /// <summary>The channels measured.</summary>
        public Channels Channels { get; }

        /// <summary>The range of every channel.</summary>
        public AdcRange Range { get; }

        /// <summary>Scans per second as the board's counters make them.</summary>
        public double Rate { get; }

        /// <summary>Scans handed over so far.</summary>
        public long ScansDelivered { get; private set; }

        /// <summary>Times the library's ring grew because the reader fell behind (nothing was lost).</summary>
        public int RingGrowths
        {
            get
            {
                lock (gate)
                {
                    return disposed ? 0 : (int)native.Status().RingGrowths;
                }
            }
        }

        /// <summary>Stops the measurement (when it still runs) and frees it. Always returns, also after an unplug.</summary>
        public void Dispose()
        {
            lock (gate)
            {
                if (disposed) return;
                disposed = true;
                ended = true;
                native.Dispose();
            }
        }

        /// <summary>The blocks, until the last one, a dispose or the cancellation token.</summary>
        /// <returns>The enumerator; it may be taken once.</returns>
        public IEnumerator<AdcBlock> GetEnumerator()
        {
            TakeEnumeration();
            return Blocks(cancel);
        }

        IEnumerator IEnumerable.GetEnumerator() => GetEnumerator();

#if NETCOREAPP3_0_OR_GREATER
        /// <summary>The blocks, read on the thread pool, until the last one, a dispose or a cancellation.</summary>
        /// <param name="cancellationToken">Ends the enumeration cleanly, as the stream's own token does.</param>
        /// <returns>The enumerator; it may be taken once.</returns>
        public IAsyncEnumerator<AdcBlock> GetAsyncEnumerator(CancellationToken cancellationToken = default)
        {
            TakeEnumeration();
            return BlocksAsync(cancellationToken);
        }

        private async IAsyncEnumerator<AdcBlock> BlocksAsync(CancellationToken token)
        {
            using (var both = CancellationTokenSource.CreateLinkedTokenSource(token, cancel))
            {
                try
                {
                    while (true)
                    {
                        AdcBlock block = await Task.Run(() => Next(both.Token)).ConfigureAwait(false);
                        if (block == null) yield break;
                        yield return block;
                    }
                }
                finally
                {
                    Dispose();
                }
            }
        }
#endif

        private IEnumerator<AdcBlock> Blocks(CancellationToken token)
        {
            try
            {
                while (true)
                {
                    AdcBlock block = Next(token);
                    if (block == null) yield break;
                    yield return block;
                }
            }
            finally
            {
                Dispose();
            }
        }

        private void TakeEnumeration()
        {
            if (Interlocked.Exchange(ref enumerated, 1) != 0)
                throw new InvalidOperationException("a stream is enumerated once");
        }

        /// <summary>The next block with scans, or null at the end (last block, dispose, cancellation).</summary>
        private AdcBlock Next(CancellationToken token)
        {
            while (true)
            {
                if (token.IsCancellationRequested) return null;
                lock (gate)
                {
                    if (pendingError != 0)
                    {
                        uint error = pendingError;
                        pendingError = 0;
                        throw new KorvalException(error, "KORVAL_MeasureRead");
                    }
                    if (ended) return null;
                    // The block is read straight into the arrays handed over; only a short last block is cut.
                    var volts = new double[blockScans, channelCount];
                    var counts = new ushort[blockScans, channelCount];
                    var block = Adc.NewBlock();
                    uint code;
                    unsafe
                    {
                        fixed (double* v = &volts[0, 0])
                        fixed (ushort* c = &counts[0, 0])
                        {
                            code = Measurements.Read(native.Handle, ref block, v, c, (uint)blockScans, SliceMs);
                        }
                    }
                    if (code == 1460) continue;
                    if (code == 38)
                    {
                        ended = true;
                        return null;
                    }
                    if (code == 122 && block.ScanCount > blockScans)
                    {
                        blockScans = (int)block.ScanCount; // the block stays to be read into more room
                        continue;
                    }
                    ResultCodes.Check(code, "KORVAL_MeasureRead");
                    var flags = (BlockFlags)block.Flags;
                    if ((flags & (BlockFlags.Last | BlockFlags.Gone)) != 0)
                    {
                        ended = true;
                        pendingError = block.Result != 0 ? block.Result : (flags & BlockFlags.Gone) != 0 ? 1617u : 0u;
                    }
                    if (block.ScanCount == 0) continue;
                    ScansDelivered += block.ScanCount;
                    int scans = (int)block.ScanCount;
                    return new AdcBlock(scans == blockScans ? volts : Cut(volts, scans),
                                        scans == blockScans ? counts : Cut(counts, scans),
                                        block.FirstScan, block.ScanPeriod, block.HostTimeNs, block.TriggerScan,
                                        (int)block.Record, flags);
                }
            }
        }

        private uint pendingError;

        private T[,] Cut<T>(T[,] full, int scans)
        {
            var cut = new T[scans, channelCount];
            Array.Copy(full, cut, scans * channelCount);
            return cut;
        }
    }
}
