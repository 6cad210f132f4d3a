using System;
using Korval;

using var sim = new Simulation();       // a simulated board; leave these two lines out with a real one
sim.AddBoard(0x8040).SetSignal(-1, SimSignal.Sine, 0.0, 2.0, 50.0);
var board = Board.First();
var m = board.Adc.Read(1000, 1000.0, Channels.Span(0, 3), AdcRange.Bipolar10V);
Console.WriteLine($"{m.ScanCount} scans of {m.Channels.Count} channels at {m.Rate} Hz, from {m.Started:O}");
for (int c = 0; c < m.Channels.Count; c++)
    Console.WriteLine($"channel {c}: first {m.Volts[0, c]:F3} V, at {m.Times[250]} s {m.Volts[250, c]:F3} V");
