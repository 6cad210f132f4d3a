Imports System
Imports Korval

Module FirstMeasurement
    Sub Main()
        Using sim As New Simulation()    ' a simulated board; leave it out with a real one
            sim.AddBoard(&H8040).SetSignal(-1, SimSignal.Sine, 0.0, 2.0, 50.0)
            Dim board As Board = Board.First()
            Dim m As AdcMeasurement = board.Adc.Read(1000, 1000.0, Channels.Span(0, 3), AdcRange.Bipolar10V)
            Console.WriteLine($"{m.ScanCount} scans of {m.Channels.Count} channels at {m.Rate} Hz")
            For c As Integer = 0 To m.Channels.Count - 1
                Console.WriteLine($"channel {c}: first {m.Volts(0, c):F3} V")
            Next
        End Using
    End Sub
End Module
