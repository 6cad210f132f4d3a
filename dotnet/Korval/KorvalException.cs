using System;
using System.Collections.Generic;

namespace Korval
{
    /// <summary>
    /// A call into the library that returned a result code other than 0. <see cref="Code"/> is the
    /// Win32 error number, <see cref="Name"/> its name, and the message says what usually causes it and
    /// what to do.
    /// </summary>
    public class KorvalException : Exception
    {
        /// <summary>Makes the exception for a result code returned by a function.</summary>
        /// <param name="code">The result code.</param>
        /// <param name="function">The C function that returned it.</param>
        public KorvalException(uint code, string function)
            : base(Describe(code, function))
        {
            Code = code;
            Function = function;
        }

        /// <summary>The result code, a Win32 error number.</summary>
        public uint Code { get; }

        /// <summary>The code's Win32 name, such as <c>ERROR_DEVICE_REMOVED</c>.</summary>
        public string Name => ResultCodes.Name(Code);

        /// <summary>The C function that returned the code.</summary>
        public string Function { get; }

        private static string Describe(uint code, string function)
        {
            string text = function + " returned " + code + " (" + ResultCodes.Name(code) + ")";
            string cause = ResultCodes.Cause(code);
            string todo = ResultCodes.Advice(code);
            if (cause != null) text += ": " + cause;
            if (todo != null) text += ". What to do: " + todo;
            return text;
        }
    }

    /// <summary>The library's result codes: their Win32 names, usual causes and what to do.</summary>
    public static class ResultCodes
    {
        private sealed class Entry
        {
            public Entry(string name, string cause, string advice)
            {
                Name = name;
                Cause = cause;
                Advice = advice;
            }

            public string Name { get; }
            public string Cause { get; }
            public string Advice { get; }
        }

        private static readonly Dictionary<uint, Entry> Table = new Dictionary<uint, Entry>
        {
            { 0, new Entry("ERROR_SUCCESS", "the call did what it says", null) },
            { 2, new Entry("ERROR_FILE_NOT_FOUND", "no board in the slot; no board at all for FirstDeviceIndex/OnlyDeviceIndex; nothing running to stop or poll; a calibration file that does not exist", "check GetDevices() and the cable; start the operation before ending it; check the path") },
            { 4, new Entry("ERROR_TOO_MANY_OPEN_FILES", "an acquisition, waveform output or digital stream already runs on the board", "end the running one first (ADC_BulkContinuousEnd(), DACOutputClose(), DIO_StreamClose())") },
            { 6, new Entry("ERROR_INVALID_HANDLE", "KORVAL_CloseDevice() on an empty slot", "nothing to close") },
            { 8, new Entry("ERROR_NOT_ENOUGH_MEMORY", "a ring or a worker thread could not be created", "use smaller buffers; free memory") },
            { 13, new Entry("ERROR_INVALID_DATA", "a gain code above 7; a calibration file line that is not a number; a reference outside its window in ADC_SetCal(\":AUTO:\"); a short latch reply", "fix the argument or the file; for :AUTO:, check the board's inputs and range") },
            { 14, new Entry("ERROR_OUTOFMEMORY", "more waveform points or channels than a frame or a call takes; a calibration file that cannot be read", "split the data; check the file") },
            { 21, new Entry("ERROR_NOT_READY", "the waveform queue is full (DACOutputFrame()); fast scans before ADC_InitFastITScanV()", "try the frame again a moment later; initialise first") },
            { 24, new Entry("ERROR_BAD_LENGTH", "a length beyond its bound (EEPROM area, defaults table, automap, PWM, debounce tables)", "see the function's limits") },
            { 25, new Entry("ERROR_SEEK", "an EEPROM or flash address beyond the memory", "see the function's address range") },
            { 30, new Entry("ERROR_READ_FAULT", "a board that answered its identification short", "replug the board; check the firmware") },
            { 31, new Entry("ERROR_GEN_FAILURE", "a driver call failed without a reason", "retry once; replug the board") },
            { 38, new Entry("ERROR_HANDLE_EOF", "a transfer ended short of a frame; a calibration file too short; no continuous acquisition running", "check the board's clock and the file; start before ending") },
            { 50, new Entry("ERROR_NOT_SUPPORTED", "a function the library does not offer; an operation the driver path or the board's firmware lacks; a board without a serial number", "use the function named in its reference; update the board's firmware") },
            { 52, new Entry("ERROR_DUP_NAME", "OnlyDeviceIndex with several boards; several boards match a lookup", "name the slot, or find the board by serial number") },
            { 87, new Entry("ERROR_INVALID_PARAMETER", "an argument outside its values: a NULL pointer where a value is needed, a rate that is not a number, a reversed channel span", "see the function's parameters") },
            { 122, new Entry("ERROR_INSUFFICIENT_BUFFER", "a buffer smaller than the ADC configuration block; fast-scan reset before init", "use KORVAL_ADC_CONFIG_MAX bytes (the size needed is written back)") },
            { 126, new Entry("ERROR_MOD_NOT_FOUND", "an ADC calibration name starting with \":\" that is none of :AUTO:, :NORM:, :1TO1:, :NONE:", "spell the name exactly (case matters)") },
            { 183, new Entry("ERROR_ALREADY_EXISTS", "DACOutputStart() on output that has started", "nothing to do") },
            { 487, new Entry("ERROR_INVALID_ADDRESS", "a channel, port, line, counter, block, mode or gate the board does not have", "check KORVAL_GetCapabilities()") },
            { 995, new Entry("ERROR_OPERATION_ABORTED", "the operation was ended while it waited (ADC_BulkAbort(), CTR_EndWaitGates(), DIO_StreamClose())", "expected after ending an operation") },
            { 998, new Entry("ERROR_NOACCESS", "a pointer to memory that cannot be read or written, or a buffer shorter than its stated size", "fix the buffer and its size") },
            { 1104, new Entry("ERROR_NO_DATA_DETECTED", "no pulse width measured yet", "ask again later") },
            { 1167, new Entry("ERROR_DEVICE_NOT_CONNECTED", "a control read on the DeviceIoControl path after the board was unplugged", "the next call reports 1617; replug and call GetDevices()") },
            { 1349, new Entry("ERROR_BAD_TOKEN_TYPE", "the board's product lacks the feature", "check the product table below or KORVAL_GetCapabilities()") },
            { 1359, new Entry("ERROR_INTERNAL_ERROR", "a fault inside an operation; unreadable caller memory in QueryDeviceInfo() or DIO_CSA_ReadAllString()", "check the pointers; report it with the steps that cause it") },
            { 1413, new Entry("ERROR_INVALID_INDEX", "a device index of 32 or more that is not a special value; an ADC channel or reference index the board lacks", "use 0 to 31, FirstDeviceIndex or OnlyDeviceIndex") },
            { 1460, new Entry("ERROR_TIMEOUT", "the board did not send or take data in time: a scan without samples, a trigger that never came, a board that stopped taking waveform data", "check the trigger byte, the scan clock, the cable; for triggered scans the library's own scan is delivered") },
            { 1617, new Entry("ERROR_DEVICE_REMOVED", "the board was unplugged", "every call on the slot gives 1617 until KORVAL_CloseDevice() or ClearDevices(); replug and call GetDevices()") },
            { 1784, new Entry("ERROR_INVALID_USER_BUFFER", "a continuous-acquisition buffer size that is not a multiple of 512", "round the size up to a multiple of 512") },
            { 5, new Entry("ERROR_ACCESS_DENIED", "the operating system refused the board", "check the device permissions (udev rules) and that no other program holds the board") },
            { 32, new Entry("ERROR_SHARING_VIOLATION", "another program holds the board", "close the other program") },
            { 259, new Entry("ERROR_NO_MORE_ITEMS", "no more entries to list", null) },
        };

        /// <summary>Every code the library returns, with its name.</summary>
        public static IReadOnlyDictionary<uint, string> Names
        {
            get
            {
                var names = new Dictionary<uint, string>();
                foreach (var pair in Table) names[pair.Key] = pair.Value.Name;
                return names;
            }
        }

        /// <summary>The code's Win32 name, or <c>ERROR_&lt;code&gt;</c> for a code the library does not name.</summary>
        /// <param name="code">The result code.</param>
        /// <returns>The name.</returns>
        public static string Name(uint code) => Table.TryGetValue(code, out var e) ? e.Name : "ERROR_" + code;

        /// <summary>What usually causes the code, or null.</summary>
        /// <param name="code">The result code.</param>
        /// <returns>The usual causes.</returns>
        public static string Cause(uint code) => Table.TryGetValue(code, out var e) ? e.Cause : null;

        /// <summary>What to do about the code, or null.</summary>
        /// <param name="code">The result code.</param>
        /// <returns>The advice.</returns>
        public static string Advice(uint code) => Table.TryGetValue(code, out var e) ? e.Advice : null;

        /// <summary>Throws a <see cref="KorvalException"/> unless the code is 0.</summary>
        /// <param name="code">The code a function returned.</param>
        /// <param name="function">The function's name, for the message.</param>
        public static void Check(uint code, string function)
        {
            if (code != 0) throw new KorvalException(code, function);
        }
    }
}
