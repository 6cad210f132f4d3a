using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using Korval;
using Korval.Native;
using Xunit;

// The declarations against the library's own headers and export list: a function imported with a wrong
// argument count or type, or one the library does not export, fails here instead of corrupting a call.
public class PrototypeTests
{
    private static readonly Dictionary<string, Type> Scalars = new Dictionary<string, Type>
    {
        ["uint8_t"] = typeof(byte), ["uint16_t"] = typeof(ushort), ["uint32_t"] = typeof(uint), ["int32_t"] = typeof(int),
        ["uint64_t"] = typeof(ulong), ["int64_t"] = typeof(long), ["double"] = typeof(double), ["int"] = typeof(int),
        ["uintptr_t"] = typeof(UIntPtr),
    };

    private static Dictionary<string, (string ret, List<string> args)> Declarations()
    {
        var found = new Dictionary<string, (string, List<string>)>();
        foreach (string header in Directory.GetFiles(Path.Combine(Repo.Root, "include", "korval"), "*.h"))
        {
            string text = Regex.Replace(File.ReadAllText(header), @"/\*.*?\*/", " ", RegexOptions.Singleline);
            foreach (Match m in Regex.Matches(text, @"KORVAL_API\s+([\w\s*]+?)\s*\b(\w+)\s*\(([^)]*)\)\s*;"))
            {
                var args = new List<string>();
                foreach (string raw in m.Groups[3].Value.Split(','))
                {
                    string p = Regex.Replace(raw.Trim(), @"\s+", " ");
                    if (p == "" || p == "void") continue;
                    p = Regex.Replace(p, @"\s*\b(\w+)\s*\[\w*\]$", " *$1"); // an array parameter is a pointer
                    args.Add(p.EndsWith("*") ? p : Regex.Replace(p, @"\s*\b\w+$", ""));
                }
                found[m.Groups[2].Value] = (Regex.Replace(m.Groups[1].Value.Trim(), @"\s+", " "), args);
            }
        }
        return found;
    }

    private static HashSet<string> ExportedNames()
    {
        string text = File.ReadAllText(Path.Combine(Repo.Root, "src", "core", "export_list.h"));
        var names = new HashSet<string>(Regex.Matches(text, @"ENTRY\(\w+,\s*\w+,\s*(\w+),").Select(m => m.Groups[1].Value));
        names.UnionWith(Regex.Matches(text, @"EXTRA\((\w+)\)").Select(m => m.Groups[1].Value));
        names.UnionWith(Regex.Matches(text, @"SECOND_NAME\(\w+,\s*(\w+),").Select(m => m.Groups[1].Value));
        return names;
    }

    // Whether a parameter or return of this .NET type passes a C value of `cType` unchanged.
    private static bool Matches(string cType, Type bound, bool isString = false)
    {
        cType = Regex.Replace(cType, @"\b(const|struct)\s+", "").Trim();
        if (cType == "void") return bound == typeof(void);
        if (cType == "PContCallback") return bound == typeof(ContinuousCallback);
        if (cType == "KorvalMeasureCallback") return bound == typeof(MeasureCallback);
        if (cType == "KorvalBoardCallback") return bound == typeof(BoardCallback);
        if (!cType.EndsWith("*")) return Scalars.TryGetValue(cType, out Type t) && t == bound;
        string target = cType.Substring(0, cType.Length - 1).Trim();
        if (target.EndsWith("*")) return bound.IsByRef && bound.GetElementType() == typeof(IntPtr);
        if (bound == typeof(IntPtr)) return !Scalars.ContainsKey(target) && target != "char";
        if (bound == typeof(string)) return target == "char" && isString;
        Type element = bound.IsByRef || bound.IsArray || bound.IsPointer ? bound.GetElementType() : null;
        if (element == null) return false;
        if (target == "void" || target == "char") return element == typeof(byte);
        if (Scalars.TryGetValue(target, out Type scalar)) return element == scalar;
        return element.Name == target;
    }

    [Fact]
    public void EveryDeclaredFunctionIsImportedAsDeclaredAndExported()
    {
        var declared = Declarations();
        var exported = ExportedNames();
        var wrong = new List<string>();
        var imported = new HashSet<string>();
        foreach (MethodInfo method in typeof(NativeMethods).GetMethods(BindingFlags.Public | BindingFlags.Static))
        {
            var import = method.GetCustomAttribute<DllImportAttribute>();
            if (import == null) continue;
            string name = import.EntryPoint ?? method.Name;
            imported.Add(name);
            if (import.Value != NativeMethods.Library) wrong.Add(name + ": imported from " + import.Value);
            if (!exported.Contains(name)) wrong.Add(name + ": not exported");
            if (!declared.TryGetValue(name, out var c))
            {
                wrong.Add(name + ": not declared in include/korval/");
                continue;
            }
            if (!Matches(c.ret, method.ReturnType)) wrong.Add($"{name}: returns {c.ret}, imported as {method.ReturnType}");
            ParameterInfo[] ps = method.GetParameters();
            if (ps.Length != c.args.Count)
            {
                wrong.Add($"{name}: takes {c.args.Count} arguments, imported with {ps.Length}");
                continue;
            }
            for (int i = 0; i < ps.Length; i++)
            {
                var marshal = ps[i].GetCustomAttribute<MarshalAsAttribute>();
                bool ansi = marshal != null && marshal.Value == UnmanagedType.LPStr;
                if (!Matches(c.args[i], ps[i].ParameterType, ansi))
                    wrong.Add($"{name}: argument {i} is {c.args[i]}, imported as {ps[i].ParameterType}");
            }
        }
        foreach (string name in declared.Keys.Where(n => !imported.Contains(n))) wrong.Add(name + ": declared, not imported");
        Assert.Empty(wrong);
    }

    [Fact]
    public void ResultNamesAreTheHeaders()
    {
        string text = File.ReadAllText(Path.Combine(Repo.Root, "include", "korval", "korval.h"));
        string table = text.Substring(text.IndexOf("#define KORVAL_RESULT_CODES(X)", StringComparison.Ordinal));
        table = table.Substring(0, table.IndexOf("\n\n", StringComparison.Ordinal));
        var codes = Regex.Matches(table, @"X\((\w+),\s*(\d+)\)").ToDictionary(m => uint.Parse(m.Groups[2].Value), m => m.Groups[1].Value);
        Assert.Equal(codes.OrderBy(p => p.Key), ResultCodes.Names.OrderBy(p => p.Key));
    }

    [Theory]
    [InlineData(typeof(KorvalMeasureSettings), 336)]
    [InlineData(typeof(KorvalMeasureBlock), 72)]
    [InlineData(typeof(KorvalMeasureStatus), 48)]
    [InlineData(typeof(KorvalCapabilities), 112)]
    [InlineData(typeof(KorvalSimTransfer), 96)]
    [InlineData(typeof(KorvalSimGateWaits), 40)]
    [InlineData(typeof(KorvalSimDigitalState), 96)]
    [InlineData(typeof(KorvalUnusableBoard), 336)]
    [InlineData(typeof(KorvalBoardEvent), 344)]
    public void StructuresHaveTheCLayoutSize(Type type, int size) => Assert.Equal(size, Marshal.SizeOf(type));
}
