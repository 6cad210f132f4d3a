using System;
using System.IO;
using Xunit;

[assembly: CollectionBehavior(DisableTestParallelization = true)]

// The source tree, and the library built in it unless KORVAL_LIBRARY names another.
internal static class Repo
{
    internal static readonly string Root = FindRoot();

    static Repo()
    {
        if (string.IsNullOrEmpty(Environment.GetEnvironmentVariable("KORVAL_LIBRARY")))
            Environment.SetEnvironmentVariable("KORVAL_LIBRARY", Path.Combine(Root, "build", "src", "libkorval.so"));
    }

    internal static void UseBuiltLibrary() => _ = Root;

    private static string FindRoot()
    {
        for (var dir = new DirectoryInfo(AppContext.BaseDirectory); dir != null; dir = dir.Parent)
        {
            if (File.Exists(Path.Combine(dir.FullName, "include", "korval", "korval.h"))) return dir.FullName;
        }
        throw new InvalidOperationException("the tests run inside the source tree");
    }
}

// Each test starts from a freshly installed simulation.
public abstract class SimTest : IDisposable
{
    protected SimTest()
    {
        Repo.UseBuiltLibrary();
        Sim = new Korval.Simulation();
    }

    protected Korval.Simulation Sim { get; }

    public void Dispose() => Sim.Dispose();
}

