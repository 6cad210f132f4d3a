using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;
using Korval;
using Xunit;

public class MeasurementTests : SimTest
{
    private readonly SimBoard sim;
    private readonly Board board;

    public MeasurementTests()
    {
        sim = Sim.AddBoard(0x8040);
        for (int c = 0; c < 4; c++) sim.SetSignal(c, SimSignal.Constant, c - 1.5);
        board = Board.Only();
    }

    [Fact]
    public void AReadHasItsScansAtTheRateObtained()
    {
        var before = DateTimeOffset.UtcNow;
        var m = board.Adc.Read(250, 1000.0, Channels.Span(0, 3), AdcRange.Bipolar10V);
        var after = DateTimeOffset.UtcNow;
        Assert.Equal(250, m.ScanCount);
        Assert.Equal(new[] { 250, 4 }, new[] { m.Volts.GetLength(0), m.Volts.GetLength(1) });
        Assert.InRange(m.Rate, 999.0, 1001.0);
        Assert.Equal(249 / m.Rate, m.Times[249], 9);
        // The simulated board scans in real time: 250 scans at 1 kHz take a quarter of a second.
        Assert.InRange(m.Started, before.AddSeconds(-0.05), after);
        Assert.True(after - before >= TimeSpan.FromSeconds(0.24), $"250 scans in {(after - before).TotalSeconds} s");
        for (int c = 0; c < 4; c++)
        {
            Assert.All(m.ChannelVolts(c), v => Assert.Equal(c - 1.5, v, 2));
            Assert.Equal(m.Volts[100, c], KorvalCountsToVolts(m.Counts[100, c]), 9);
        }
        Assert.Equal(-1, m.TriggerIndex);
    }

    private static double KorvalCountsToVolts(ushort counts) => counts / 65536.0 * 20.0 - 10.0;

    [Fact]
    public void ATriggeredRecordStartsItsPreTriggerScansBeforeTheCrossing()
    {
        sim.SetSignal(0, SimSignal.Ramp, 0.0, 5.0, 10.0);
        var m = board.Adc.ReadTriggered(60, 1000.0, Channels.Span(0, 1), AdcRange.Bipolar10V,
                                        new Trigger(0, TriggerSlope.Rising, 0.0, 0.5, 10));
        Assert.Equal(60, m.ScanCount);
        Assert.Equal(10, m.TriggerIndex);
        Assert.True(m.Volts[10, 0] >= 0.0 && m.Volts[9, 0] < 0.0, $"{m.Volts[9, 0]} then {m.Volts[10, 0]}");
        Assert.Equal(0.0, m.Times[10]);
        Assert.True(m.Times[0] < 0);
    }

    [Fact]
    public void AStreamDisposedInTheMiddleFreesTheBoard()
    {
        var blocks = new List<AdcBlock>();
        using (var stream = board.Adc.Stream(1000.0, Channels.Span(0, 1), blockSeconds: 0.02))
        {
            foreach (var block in stream)
            {
                blocks.Add(block);
                if (blocks.Count == 3) break;
            }
        }
        Assert.Equal(new ulong[] { 0, 20, 40 }, blocks.Select(b => b.FirstScan));
        Assert.All(blocks, b => Assert.Equal(20, b.ScanCount));
        Assert.Equal(21 / 1000.0, blocks[1].Times[1], 6);
        Assert.Equal(5, board.Adc.Read(5, 1000.0, 0).ScanCount); // the board takes a new measurement
    }

    [Fact]
    public void AnUnplugEndsTheStreamAfterTheScansThatCame()
    {
        ulong next = 0;
        using (var stream = board.Adc.Stream(1000.0, 0, blockSeconds: 0.01))
        {
            var ex = Assert.Throws<KorvalException>(() =>
            {
                foreach (var block in stream)
                {
                    Assert.Equal(next, block.FirstScan);
                    next += (ulong)block.ScanCount;
                    if (next == 10) sim.Unplug();
                }
            });
            Assert.Equal(1617u, ex.Code);
            Assert.Equal("ERROR_DEVICE_REMOVED", ex.Name);
        }
        Assert.True(next >= 10);
    }

    [Fact]
    public async Task AnAsyncStreamEndsCleanlyWhenCancelled()
    {
        using var cancel = new CancellationTokenSource();
        int blocks = 0;
        using (var stream = board.Adc.Stream(1000.0, Channels.Span(0, 3), blockSeconds: 0.01))
        {
            await foreach (var block in stream.WithCancellation(cancel.Token))
            {
                Assert.Equal(4, block.Volts.GetLength(1));
                if (++blocks == 2) cancel.Cancel();
            }
        }
        Assert.Equal(2, blocks);
        Assert.Equal(5, board.Adc.Read(5, 1000.0, 0).ScanCount);
    }
}
