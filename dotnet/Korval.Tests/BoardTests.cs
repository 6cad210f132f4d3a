using System;
using System.Collections.Generic;
using System.Linq;
using Korval;
using Xunit;

public class BoardTests : SimTest
{
    [Fact]
    public void BoardsAreFoundInTheOrderAdded()
    {
        Sim.AddBoard(0x8040);
        Sim.AddBoard(0x8140);
        var boards = Board.List();
        Assert.Equal(new uint[] { 0x8040, 0x8140 }, boards.Select(b => b.ProductId));
        Assert.Equal(0u, Board.First().Slot);
        var ex = Assert.Throws<KorvalException>(() => Board.Only());
        Assert.Equal(52u, ex.Code);
    }

    [Fact]
    public void AFailedCallSaysItsCodeNameAndWhatToDo()
    {
        var ex = Assert.Throws<KorvalException>(() => Board.First());
        Assert.Equal(2u, ex.Code);
        Assert.Equal("ERROR_FILE_NOT_FOUND", ex.Name);
        Assert.Contains("What to do: check GetDevices() and the cable", ex.Message);
    }

    [Fact]
    public void DigitalAnalogOutputAndCounterRoundTrips()
    {
        var sim = Sim.AddBoard(0x8140);
        var board = Board.Only();

        board.Dio.Configure(new byte[] { 0x01 }, new byte[] { 0xA5, 0x00 });
        Assert.Equal(0xA5, sim.DigitalState().outputs[0]);
        sim.SetDigitalInputs(0x00, 0x3C);
        Assert.Equal(0x3C, board.Dio.Read(1));
        board.Dio.WriteLine(1, false);
        Assert.Equal(0xA5 & ~0x02, sim.DigitalState().outputs[0]);

        board.Dac.Write(1, 12345);
        Assert.Equal(12345, sim.DacValues()[1]);
        board.Dac.WriteAll(100, 200);
        Assert.Equal(new ushort[] { 100, 200 }, sim.DacValues().Take(2));

        board.Counters.ModeLoad(0, 0, 2, 1000);
        var counter = sim.Counter(0);
        Assert.Equal(2u, counter.mode);
        Assert.Equal(1000u, counter.initial_count);
        double hz = board.Counters.StartFrequency(0, 1000.0);
        Assert.InRange(hz, 999.0, 1001.0);

        var bytes = new byte[] { 1, 2, 3, 250 };
        board.Eeprom.Write(0x10, bytes);
        Assert.Equal(bytes, board.Eeprom.Read(0x10, 4));
    }

    public static IEnumerable<object[]> BadCalls() => new[]
    {
        new object[] { "rate 0", (Action<Board>)(b => b.Adc.Read(10, 0, 0)) },
        new object[] { "rate NaN", (Action<Board>)(b => b.Adc.Read(10, double.NaN, 0)) },
        new object[] { "no scans", (Action<Board>)(b => b.Adc.Read(0, 1000, 0)) },
        new object[] { "reversed span", (Action<Board>)(b => b.Adc.Read(10, 1000, Channels.Span(3, 1))) },
        new object[] { "channel beyond the board", (Action<Board>)(b => b.Adc.Read(10, 1000, Channels.Span(0, 16))) },
        new object[] { "oversample 256", (Action<Board>)(b => b.Adc.Read(10, 1000, 0, AdcRange.Bipolar10V, 256)) },
        new object[] { "trigger outside the span", (Action<Board>)(b => b.Adc.ReadTriggered(10, 1000, Channels.Span(0, 1), AdcRange.Bipolar10V, new Trigger(2, TriggerSlope.Rising, 0))) },
        new object[] { "pre-trigger not fewer", (Action<Board>)(b => b.Adc.ReadTriggered(10, 1000, 0, AdcRange.Bipolar10V, new Trigger(0, TriggerSlope.Rising, 0, 0, 10))) },
        new object[] { "trigger level NaN", (Action<Board>)(b => new Trigger(0, TriggerSlope.Rising, double.NaN)) },
        new object[] { "negative hysteresis", (Action<Board>)(b => new Trigger(0, TriggerSlope.Rising, 0, -1)) },
        new object[] { "stream block 0 s", (Action<Board>)(b => b.Adc.Stream(1000, 0, blockSeconds: 0)) },
        new object[] { "slot 32", (Action<Board>)(b => Board.At(32)) },
        new object[] { "counter 3", (Action<Board>)(b => b.Counters.Read(0, 3)) },
        new object[] { "EEPROM past 256", (Action<Board>)(b => b.Eeprom.Read(250, 7)) },
        new object[] { "flash odd address", (Action<Board>)(b => b.Flash.Read(1, 2)) },
        new object[] { "port levels short", (Action<Board>)(b => b.Dio.Configure(new byte[] { 1 }, new byte[] { 0 })) },
    };

    [Theory]
    [MemberData(nameof(BadCalls))]
    public void BadArgumentsAreRefusedBeforeTheBoard(string what, Action<Board> call)
    {
        var sim = Sim.AddBoard(0x8040);
        var board = Board.Only();
        _ = board.Capabilities; // the board is opened before the log is cleared
        sim.ClearLog();
        Assert.ThrowsAny<ArgumentException>(() => call(board));
        Assert.True(sim.Log().Count == 0, what + ": something reached the board");
    }
}
