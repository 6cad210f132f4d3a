using System;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;

namespace Korval.Native
{
    /// <summary>
    /// Finds the C library for <see cref="NativeMethods"/>. On .NET (Core) it looks, in this order, in the
    /// package's own <c>runtimes/&lt;rid&gt;/native/</c> beside this assembly (and beside it directly), at the
    /// path in the <c>KORVAL_LIBRARY</c> environment variable, then lets the runtime search the system.
    /// On Mono and .NET Framework the runtime's own search finds <c>libkorval.so</c> or <c>KORVAL.dll</c>
    /// from the name <c>korval</c> alone: no dllmap is needed.
    /// </summary>
    public static class LibraryResolver
    {
        private static readonly object Gate = new object();
        private static bool installed;

        /// <summary>The file name of the library on this system: <c>KORVAL.dll</c>, <c>libkorval.dylib</c> or <c>libkorval.so</c>.</summary>
        public static string FileName
        {
            get
            {
                if (RuntimeInformation.IsOSPlatform(OSPlatform.Windows)) return "KORVAL.dll";
                if (RuntimeInformation.IsOSPlatform(OSPlatform.OSX)) return "libkorval.dylib";
                return "libkorval.so";
            }
        }

        /// <summary>The runtime identifier whose <c>runtimes/</c> folder is searched, such as <c>linux-x64</c>.</summary>
        public static string RuntimeId
        {
            get
            {
                string os = RuntimeInformation.IsOSPlatform(OSPlatform.Windows) ? "win"
                    : RuntimeInformation.IsOSPlatform(OSPlatform.OSX) ? "osx" : "linux";
                string arch = RuntimeInformation.ProcessArchitecture.ToString().ToLowerInvariant();
                return os + "-" + arch;
            }
        }

        /// <summary>
        /// The candidate paths tried before the system's search, in order (existing or not).
        /// </summary>
        /// <returns>The package's own copies, then <c>KORVAL_LIBRARY</c> when it is set.</returns>
        public static string[] Candidates()
        {
            string here = Path.GetDirectoryName(typeof(LibraryResolver).Assembly.Location) ?? ".";
            string explicitPath = Environment.GetEnvironmentVariable("KORVAL_LIBRARY");
            var list = new System.Collections.Generic.List<string>
            {
                Path.Combine(here, "runtimes", RuntimeId, "native", FileName),
                Path.Combine(here, FileName),
            };
            if (!string.IsNullOrEmpty(explicitPath)) list.Add(explicitPath);
            return list.ToArray();
        }

        /// <summary>
        /// Installs the resolver for this assembly's imports (once; later calls do nothing). Called by
        /// every class of the package before its first call into the library.
        /// </summary>
        public static void Install()
        {
            lock (Gate)
            {
                if (installed) return;
                installed = true;
#if NETCOREAPP3_0_OR_GREATER
                NativeLibrary.SetDllImportResolver(typeof(LibraryResolver).Assembly, Resolve);
#endif
            }
        }

#if NETCOREAPP3_0_OR_GREATER
        private static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath)
        {
            if (name != NativeMethods.Library) return IntPtr.Zero;
            foreach (string path in Candidates())
            {
                if (File.Exists(path) && NativeLibrary.TryLoad(path, out IntPtr handle)) return handle;
            }
            // The system's search: the application's deps.json native assets, then the loader's own paths.
            if (NativeLibrary.TryLoad(name, assembly, searchPath, out IntPtr found)) return found;
            if (NativeLibrary.TryLoad(FileName, assembly, searchPath, out found)) return found;
            throw new DllNotFoundException(
                "the Korval library (" + FileName + ") was not found: install the Korval package's native " +
                "files for " + RuntimeId + ", set KORVAL_LIBRARY to the library's path, or install the library");
        }
#endif
    }
}
