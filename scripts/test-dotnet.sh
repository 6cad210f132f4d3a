#!/bin/sh
# The .NET package: its xunit tests on simulated boards, then the package packed (dotnet pack, with
# libkorval.so and, when it has been built, KORVAL.dll under runtimes/), checked for its native files,
# and used from a local folder source by the guide's first programs (C#, built and run; VB.NET, built
# and run), each restored into a packages folder of its own so that no earlier Korval is reused.
#   scripts/test-dotnet.sh [BUILD_DIR]
# Without the .NET SDK it skips, unless KORVAL_REQUIRE_DOTNET=1 (as .ci/run sets it).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:-build}" && pwd)

if ! command -v dotnet > /dev/null 2>&1; then
    if [ "${KORVAL_REQUIRE_DOTNET:-0}" = 1 ]; then
        echo "the .NET SDK (dotnet) is not installed, and KORVAL_REQUIRE_DOTNET=1 asks for the .NET tests"
        exit 1
    fi
    echo "skipped: the .NET SDK (dotnet) is not installed; the .NET package needs the .NET SDK 10"
    exit 0
fi
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
library="$build/src/libkorval.so"
[ -f "$library" ] || { echo "$library is missing: build the library first (make build)"; exit 1; }

echo "-- xunit tests (simulated boards)"
status=0
KORVAL_LIBRARY="$library" dotnet test "$root/dotnet/Korval.Tests" -c Release --nologo > "$build/dotnet-test.log" 2>&1 ||
    status=$?
summary=$(grep -E "^(Passed|Failed)! " "$build/dotnet-test.log" | tail -n 1)
if [ "$status" -ne 0 ] || [ -z "$summary" ]; then
    cat "$build/dotnet-test.log"
    exit 1
fi
grep -E "^\s+Skipped " "$build/dotnet-test.log" || true
# Passed!  - Failed:     0, Passed:    29, Skipped:     5, Total:    34, Duration: ...
counts=$(echo "$summary" | sed -E 's/.*Failed: *([0-9]+), Passed: *([0-9]+), Skipped: *([0-9]+).*/\2 passed, \1 failed, \3 skipped/')
echo "xunit: $counts"

echo "-- the guide's first programs are the ones built below"
for lang in csharp:cs vb:vb; do
    block=$(awk -v fence="\`\`\`${lang%%:*}" '$0 == fence { on = 1; next } on && /^```/ { exit } on' docs/dotnet.md)
    [ "$block" = "$(cat "docs/examples/dotnet/FirstMeasurement.${lang##*:}")" ] ||
        { echo "docs/dotnet.md: the first ${lang%%:*} block is not docs/examples/dotnet/FirstMeasurement.${lang##*:}"; exit 1; }
done

out="$build/dotnet-package"
rm -rf "$out"
mkdir -p "$out/feed"
windows="$root/build-windows/src/KORVAL.dll"
echo "-- dotnet pack (libkorval.so; KORVAL.dll: $([ -f "$windows" ] && echo "$windows" || echo "not built, left out"))"
dotnet pack "$root/dotnet/Korval" -c Release --nologo -v q -o "$out/feed" \
    -p:KorvalLinuxLibrary="$library" -p:KorvalWindowsLibrary="$windows" > "$out/pack.log" 2>&1 ||
    { cat "$out/pack.log"; exit 1; }
package=$(ls "$out"/feed/Korval.*.nupkg)
contents=$(unzip -l "$package")
for f in lib/netstandard2.0/Korval.dll lib/netstandard2.0/Korval.xml lib/net10.0/Korval.dll runtimes/linux-x64/native/libkorval.so; do
    echo "$contents" | grep -q " $f\$" || { echo "$package lacks $f"; exit 1; }
done
if [ -f "$windows" ]; then
    echo "$contents" | grep -q " runtimes/win-x64/native/KORVAL.dll\$" || { echo "$package lacks KORVAL.dll"; exit 1; }
fi

version=$(basename "$package" .nupkg | sed 's/^Korval\.//')
cat > "$out/NuGet.config" <<XML
<?xml version="1.0" encoding="utf-8"?>
<configuration>
  <packageSources>
    <clear />
    <add key="korval" value="$out/feed" />
    <add key="local" value="/opt/nuget/packages" />
  </packageSources>
</configuration>
XML
run_example() { # name, language extension, project extension
    app="$out/$1"
    mkdir -p "$app"
    cp "$root/docs/examples/dotnet/FirstMeasurement.$2" "$app/"
    cat > "$app/$1.$3" <<XML
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <OutputType>Exe</OutputType>
    <TargetFramework>net10.0</TargetFramework>
    <TreatWarningsAsErrors>true</TreatWarningsAsErrors>
  </PropertyGroup>
  <ItemGroup>
    <PackageReference Include="Korval" Version="$version" />
  </ItemGroup>
</Project>
XML
    echo "-- the guide's first measurement ($1), against the packed package"
    cp "$out/NuGet.config" "$app/"
    (cd "$app" && NUGET_PACKAGES="$out/packages" dotnet build -c Release --nologo -v q > "$app/build.txt" 2>&1) ||
        { cat "$app/build.txt"; exit 1; }
    # Not KORVAL_LIBRARY: the program finds the library the package carries.
    (cd "$app" && env -u KORVAL_LIBRARY NUGET_PACKAGES="$out/packages" dotnet run -c Release --no-build \
        > "$app/output.txt" 2>&1) || { cat "$app/output.txt"; exit 1; }
    cat "$app/output.txt"
    grep -q "^1000 scans of 4 channels at " "$app/output.txt" || { echo "$1 printed something else"; exit 1; }
}
run_example FirstMeasurementCs cs csproj
run_example FirstMeasurementVb vb vbproj

# The netstandard2.0 assembly, as .NET Framework and Mono load it: no resolver of its own, the name
# "korval" found by the loader's search (here LD_LIBRARY_PATH) as libkorval.so.
echo "-- the netstandard2.0 assembly, the library found by the loader's own search"
app="$out/LoaderSearch"
mkdir -p "$app/lib"
unzip -q -o -j "$package" lib/netstandard2.0/Korval.dll -d "$app/lib"
cp "$root/docs/examples/dotnet/FirstMeasurement.cs" "$out/NuGet.config" "$app/"
cat > "$app/LoaderSearch.csproj" <<XML
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <OutputType>Exe</OutputType>
    <TargetFramework>net10.0</TargetFramework>
  </PropertyGroup>
  <ItemGroup>
    <Reference Include="Korval"><HintPath>lib/Korval.dll</HintPath></Reference>
  </ItemGroup>
</Project>
XML
(cd "$app" && NUGET_PACKAGES="$out/packages" dotnet build -c Release --nologo -v q > "$app/build.txt" 2>&1 &&
    env -u KORVAL_LIBRARY LD_LIBRARY_PATH="$build/src" dotnet run -c Release --no-build > "$app/output.txt" 2>&1) ||
    { cat "$app/build.txt" "$app/output.txt" 2> /dev/null; exit 1; }
grep -q "^1000 scans of 4 channels at " "$app/output.txt" || { cat "$app/output.txt"; exit 1; }
echo "netstandard2.0: measured"
echo "dotnet: all passed"
