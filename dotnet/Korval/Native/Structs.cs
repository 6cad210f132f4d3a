using System.Runtime.InteropServices;

namespace Korval.Native
{
    /// <summary>What a board or product can do (<c>KorvalCapabilities</c>); set Size before a call.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalCapabilities
    {
        /// <summary>in: sizeof(KorvalCapabilities) as the caller was built with; out: the bytes filled (later library versions may append fields)</summary>
        public uint Size;

        /// <summary>the USB product ID</summary>
        public uint ProductID;

        /// <summary>0: WinUSB; 1: the DeviceIoControl driver</summary>
        public uint DriverPath;

        /// <summary>8-bit digital ports</summary>
        public uint DIOBytes;

        /// <summary>bits of the direction mask: one per port, or one per line</summary>
        public uint DIOConfigBits;

        /// <summary>bytes of the tristate mask (0: no tristate control)</summary>
        public uint Tristates;

        /// <summary>8254 blocks of three counters</summary>
        public uint Counters;

        /// <summary>counter gates are selectable</summary>
        public uint GateSelectable;

        /// <summary>the counters' clock, hertz</summary>
        public double RootClock;

        /// <summary>the bulk analog-input section (scans, acquisition, configuration block)</summary>
        public uint ADCBulk;

        /// <summary>range slots of the configuration block</summary>
        public uint ADCChannels;

        /// <summary>analog input channels</summary>
        public uint ADCMUXChannels;

        /// <summary>length of the ADC configuration block (0: none)</summary>
        public uint ConfigBytes;

        /// <summary>channel c uses range slot c &gt;&gt; RangeShift</summary>
        public uint RangeShift;

        /// <summary>immediate analog inputs of a board without the bulk section</summary>
        public uint ImmADCs;

        /// <summary>immediate analog outputs</summary>
        public uint ImmDACs;

        /// <summary>board-wide output range selection</summary>
        public uint DACBoardRange;

        /// <summary>per-channel output calibration tables</summary>
        public uint DACChannelCal;

        /// <summary>waveform output</summary>
        public uint DACStream;

        /// <summary>digital streaming</summary>
        public uint DIOStream;

        /// <summary>SPI bus and sync generator</summary>
        public uint DIOSPI;

        /// <summary>input debouncing</summary>
        public uint DIODebounce;

        /// <summary>stream FIFOs that can be cleared</summary>
        public uint ClearFIFO;

        /// <summary>the sync pulse generator (DIO_CSA_DoSync())</summary>
        public uint SetCustomClocks;

        /// <summary>bytes of the watchdog's settings (0: no watchdog)</summary>
        public uint WDGBytes;

        /// <summary>64 KiB flash sectors (0: no flash)</summary>
        public int FlashSectors;

        /// <summary>0</summary>
        public uint Reserved;
    }

    /// <summary>An attached board that cannot be opened (<c>KorvalUnusableBoard</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalUnusableBoard
    {
        /// <summary>in: sizeof(KorvalUnusableBoard) as the caller was built with; out: the bytes filled</summary>
        public uint Size;

        /// <summary>why it cannot be opened: ERROR_ACCESS_DENIED when this user has no permission on its device node, otherwise the system's code</summary>
        public uint Error;

        /// <summary>the USB vendor ID</summary>
        public uint VendorID;

        /// <summary>the USB product ID</summary>
        public uint ProductID;

        /// <summary>where it is plugged, as the library names it ("usb:1-4.2"); zero-ended</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 64)]
        public byte[] Path;

        /// <summary>the reason and the fix, in words, zero-ended: "permission denied: install the udev rules (...) and re-plug the board"</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 256)]
        public byte[] Reason;
    }

    /// <summary>A board that arrived or left, as a board notification tells it (<c>KorvalBoardEvent</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalBoardEvent
    {
        /// <summary>sizeof(KorvalBoardEvent) as the library fills it (later versions may append fields)</summary>
        public uint Size;

        /// <summary>1: the board arrived; 2: it left</summary>
        public uint Kind;

        /// <summary>the USB vendor ID; 0 when not known</summary>
        public uint VendorID;

        /// <summary>the USB product ID; 0 when not known</summary>
        public uint ProductID;

        /// <summary>0: WinUSB; 1: the DeviceIoControl driver</summary>
        public uint DriverPath;

        /// <summary>0</summary>
        public uint Reserved;

        /// <summary>where it is, as the library names it ("usb:1-4.2" on Linux); zero-ended</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 256)]
        public byte[] Path;

        /// <summary>the USB serial-number string when the system gives it without opening the board, else ""; zero-ended</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 64)]
        public byte[] SerialNumber;
    }

    /// <summary>One channel and value for DACMultiDirect() (<c>KorvalDACPair</c>, packed).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct KorvalDACPair
    {
        /// <summary>a DAC channel, 0 up</summary>
        public ushort Channel;

        /// <summary>the count to put out on it</summary>
        public ushort Value;
    }

    /// <summary>A software trigger on one channel of a measurement (<c>KorvalTrigger</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalTrigger
    {
        /// <summary>KORVAL_TRIGGER_NONE, KORVAL_TRIGGER_RISING or KORVAL_TRIGGER_FALLING</summary>
        public uint Slope;

        /// <summary>the channel whose level triggers, within the span</summary>
        public uint Channel;

        /// <summary>volts</summary>
        public double Level;

        /// <summary>volts, 0 or more</summary>
        public double Hysteresis;

        /// <summary>scans kept from before the trigger, fewer than the record's scans</summary>
        public uint PreTriggerScans;

        /// <summary>records, each at a new trigger: 1 or more; 0 for records until stopped</summary>
        public uint Records;
    }

    /// <summary>What to measure (<c>KorvalMeasureSettings</c>); Size, the span, the ranges and the rate.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalMeasureSettings
    {
        /// <summary>sizeof(KorvalMeasureSettings) as the caller was built with</summary>
        public uint Size;

        /// <summary>the span's first channel</summary>
        public uint FirstChannel;

        /// <summary>the span's last channel, at or above FirstChannel</summary>
        public uint LastChannel;

        /// <summary>1: Ranges[0] for every channel; or one range per channel of the span</summary>
        public uint RangeCount;

        /// <summary>range codes (see KORVAL_ADC_CountsToVolts()), from the span's first channel on; channels that share a range slot must share a range</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 256)]
        public byte[] Ranges;

        /// <summary>extra conversions per channel, 0 to 255: a channel's value is the mean of its conversions after the first</summary>
        public uint Oversample;

        /// <summary>scans per block; 0: BlockSeconds decides</summary>
        public uint BlockScans;

        /// <summary>in: scans per second asked; out (KORVAL_MeasureStart()): the rate the board's counters make</summary>
        public double Rate;

        /// <summary>scans in all (with a trigger: per record); 0 until stopped</summary>
        public ulong Scans;

        /// <summary>seconds per block when BlockScans is 0; 0 for 50 ms</summary>
        public double BlockSeconds;

        /// <summary>Slope KORVAL_TRIGGER_NONE for an immediate start</summary>
        public KorvalTrigger Trigger;
    }

    /// <summary>Scans of a measurement (<c>KorvalMeasureBlock</c>); Volts and Counts point at its values.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalMeasureBlock
    {
        /// <summary>in: sizeof(KorvalMeasureBlock) as the caller was built with</summary>
        public uint Size;

        /// <summary>KORVAL_BLOCK_GROWN, KORVAL_BLOCK_LAST, KORVAL_BLOCK_GONE, ...</summary>
        public uint Flags;

        /// <summary>index of the block's first scan since the measurement started</summary>
        public ulong FirstScan;

        /// <summary>scans in the block (0 only in a last block that carries no scans)</summary>
        public uint ScanCount;

        /// <summary>channels per scan</summary>
        public uint ChannelCount;

        /// <summary>seconds from one scan to the next: 1 / the rate obtained</summary>
        public double ScanPeriod;

        /// <summary>the host's UTC time, in nanoseconds since 1970, when the block arrived</summary>
        public long HostTimeNs;

        /// <summary>the trigger scan's index since the start (as FirstScan counts), with KORVAL_BLOCK_TRIGGER; else -1</summary>
        public long TriggerScan;

        /// <summary>the record the block belongs to, from 0</summary>
        public uint Record;

        /// <summary>0, or the code that ended the measurement (in its last block)</summary>
        public uint Result;

        /// <summary>ScanCount x ChannelCount volts</summary>
        public System.IntPtr Volts;

        /// <summary>ScanCount x ChannelCount counts (a mean rounded, with oversample)</summary>
        public System.IntPtr Counts;
    }

    /// <summary>How a measurement stands (<c>KorvalMeasureStatus</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalMeasureStatus
    {
        /// <summary>in: sizeof(KorvalMeasureStatus) as the caller was built with</summary>
        public uint Size;

        /// <summary>KORVAL_MEASURE_IDLE, KORVAL_MEASURE_RUNNING, KORVAL_MEASURE_ENDED</summary>
        public uint State;

        /// <summary>scans handed to the reader or the callback</summary>
        public ulong ScansDelivered;

        /// <summary>scans received from the board (with a trigger, also those not kept)</summary>
        public ulong ScansAcquired;

        /// <summary>times the library's ring grew because the reader fell behind</summary>
        public uint RingGrowths;

        /// <summary>0 while running and after a clean end; else the code that ended it</summary>
        public uint Result;

        /// <summary>the rate obtained, scans per second</summary>
        public double Rate;

        /// <summary>records completed</summary>
        public uint Records;

        /// <summary>0</summary>
        public uint Reserved;
    }

    /// <summary>One transfer in a simulated board's log (<c>KorvalSimTransfer</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalSimTransfer
    {
        /// <summary>KORVAL_SIM_CONTROL ...</summary>
        public uint kind;

        /// <summary>KORVAL_SIM_VIA_WINUSB or KORVAL_SIM_VIA_IOCTL</summary>
        public uint via;

        /// <summary>control and descriptor transfers: the setup packet; zero otherwise</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)]
        public byte[] setup;

        /// <summary>bulk transfers: the endpoint address (pipe ID); 0 for control</summary>
        public byte endpoint;

        /// <summary>0</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 3)]
        public byte[] reserved;

        /// <summary>via DeviceIoControl: the control code</summary>
        public uint control_code;

        /// <summary>via DeviceIoControl: the driver request header exactly as received</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 38)]
        public byte[] header;

        /// <summary>0</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 2)]
        public byte[] reserved2;

        /// <summary>the data bytes asked for (control: wLength; bulk: the buffer length)</summary>
        public uint length_asked;

        /// <summary>the data bytes moved</summary>
        public uint length_moved;

        /// <summary>the byte count the driver call reported (via DeviceIoControl it counts the header)</summary>
        public uint reported;

        /// <summary>0 when the transfer succeeded, else the error code it failed with</summary>
        public uint error;

        /// <summary>bytes of data logged: OUT what the host sent, IN what the board answered</summary>
        public uint data_size;

        /// <summary>1, 2, ... per board, counting transfers dropped from a full log</summary>
        public ulong sequence;
    }

    /// <summary>A fault rule for a simulated board (<c>KorvalSimFault</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalSimFault
    {
        /// <summary>KORVAL_SIM_FAULT_...</summary>
        public uint action;

        /// <summary>transfer kind to match (KORVAL_SIM_CONTROL ...) or KORVAL_SIM_ANY</summary>
        public uint kind;

        /// <summary>control: bRequest to match, or KORVAL_SIM_ANY</summary>
        public uint request;

        /// <summary>bulk: endpoint address to match, or KORVAL_SIM_ANY</summary>
        public uint endpoint;

        /// <summary>how many matching transfers the fault applies to</summary>
        public uint count;

        /// <summary>FAIL: the error code (0 is a failure without a code)</summary>
        public uint error;

        /// <summary>SHORT, REPORT: the byte count</summary>
        public uint bytes;
    }

    /// <summary>A simulated board's digital ports (<c>KorvalSimDigitalState</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalSimDigitalState
    {
        /// <summary>8-bit ports of the product</summary>
        public uint ports;

        /// <summary>length of the direction mask</summary>
        public uint direction_bytes;

        /// <summary>length of the tristate mask (0: no tristate control)</summary>
        public uint tristate_bytes;

        /// <summary>the last configuration floated every output</summary>
        public uint outputs_floating;

        /// <summary>output latches, port 0 first</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)]
        public byte[] outputs;

        /// <summary>direction mask</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)]
        public byte[] direction;

        /// <summary>tristate mask</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)]
        public byte[] tristate;

        /// <summary>outside levels at the pins</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)]
        public byte[] inputs;

        /// <summary>what reading the ports gives now</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)]
        public byte[] levels;
    }

    /// <summary>The signal at a simulated analog input (<c>KorvalSimAdcSignal</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalSimAdcSignal
    {
        /// <summary>KORVAL_SIM_SIGNAL_...</summary>
        public uint kind;

        /// <summary>NOISE: the sequence</summary>
        public uint seed;

        /// <summary>volts</summary>
        public double offset;

        /// <summary>volts</summary>
        public double amplitude;

        /// <summary>hertz, in the samples' time: the start plus sample index / pacing rate (1 MHz when the board samples as fast as it is read)</summary>
        public double frequency;
    }

    /// <summary>A simulated board's analog input state (<c>KorvalSimAdcState</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalSimAdcState
    {
        /// <summary>samples of the last sample-count request</summary>
        public ulong announced;

        /// <summary>bytes of them sent to the host</summary>
        public ulong bytes_sent;

        /// <summary>1 while the converter is started and has samples to send</summary>
        public uint running;

        /// <summary>start requests (0xBF) received</summary>
        public uint start_requests;

        /// <summary>external triggers fired</summary>
        public uint triggers;

        /// <summary>0</summary>
        public uint reserved;
    }

    /// <summary>A simulated 8254 counter (<c>KorvalSimCounter</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalSimCounter
    {
        /// <summary>8254 mode of the last control word, 0 to 5</summary>
        public uint mode;

        /// <summary>1 once a control word has been written</summary>
        public uint programmed;

        /// <summary>the count last written, 1 to 65536 (a written 0 counts 65536); 0 when none was written since the last control word</summary>
        public uint initial_count;

        /// <summary>the counting element now, as a read gives it</summary>
        public uint count;

        /// <summary>the output level, 0 or 1</summary>
        public uint @out;

        /// <summary>the gate input level, 0 or 1</summary>
        public uint gate;

        /// <summary>1 while a written count has not reached the counting element</summary>
        public uint null_count;

        /// <summary>the status byte a read with status gives now</summary>
        public uint status;

        /// <summary>KORVAL_SIM_CLOCK_...</summary>
        public uint clock_source;

        /// <summary>0</summary>
        public uint reserved;

        /// <summary>rising edges of the output since the board was attached</summary>
        public ulong rising_edges;
    }

    /// <summary>A simulated board's gate waits (<c>KorvalSimGateWaits</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalSimGateWaits
    {
        /// <summary>1 between requests 0x27 and 0x29</summary>
        public uint watching;

        /// <summary>KORVAL_SIM_NO_GATE when not watching</summary>
        public uint gate_a;

        /// <summary>as gate_a, for gate B</summary>
        public uint gate_b;

        /// <summary>reports not read yet, gate A and gate B</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 2)]
        public uint[] waiting;

        /// <summary>rising edges since watching began</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 2)]
        public ulong[] events;
    }

    /// <summary>A simulated board's digital stream (<c>KorvalSimDigitalStream</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalSimDigitalStream
    {
        /// <summary>KORVAL_SIM_STREAM_..., as the last open request set it</summary>
        public uint direction;

        /// <summary>the flag byte of the last clock block (bit 0: clock B off, bit 1: clock A off)</summary>
        public uint clock_flags;

        /// <summary>the clock words last received</summary>
        public uint clock_a_word;

        /// <summary>as clock_a_word, for clock B</summary>
        public uint clock_b_word;

        /// <summary>what the oscillators run at; 0 when off</summary>
        public double clock_a_hz;

        /// <summary>as clock_a_hz, for clock B</summary>
        public double clock_b_hz;

        /// <summary>points read by the host</summary>
        public ulong points_sent;

        /// <summary>points lost to a full FIFO (from the board)</summary>
        public ulong points_lost;

        /// <summary>points written by the host and not yet put out</summary>
        public ulong points_queued;

        /// <summary>points put out (to the board)</summary>
        public ulong points_put_out;
    }

    /// <summary>A simulated board's sync generator (<c>KorvalSimSync</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalSimSync
    {
        /// <summary>the rate is 3,000 Hz divided by it; 0: the sync is off</summary>
        public uint divider;

        /// <summary>times A, B and C in ticks of 1/3 ms</summary>
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 3)]
        public uint[] ticks;

        /// <summary>sync requests received</summary>
        public uint requests;
    }

    /// <summary>A simulated board's waveform output (<c>KorvalSimDacStream</c>).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct KorvalSimDacStream
    {
        /// <summary>point-rate divisor last programmed; 0 until then</summary>
        public uint divisor;

        /// <summary>started and not yet past the end of the data</summary>
        public uint playing;

        /// <summary>start requests received</summary>
        public uint starts;

        /// <summary>the end-of-data sample has been played</summary>
        public uint ended;

        /// <summary>the interlock is on</summary>
        public uint interlock;

        /// <summary>most samples in one point played so far</summary>
        public uint channels;

        /// <summary>reset requests (0xB0 with 0x80) received</summary>
        public uint resets;

        /// <summary>prepare requests (0xB1) received</summary>
        public uint prepares;

        /// <summary>points played since the last reset</summary>
        public ulong points;

        /// <summary>times a point was due and none was waiting, since the last reset</summary>
        public ulong underruns;

        /// <summary>bytes taken into the buffer since the last reset</summary>
        public ulong bytes_received;

        /// <summary>bytes waiting in the buffer</summary>
        public ulong buffered;

        /// <summary>size of the buffer in bytes (256 KiB at first)</summary>
        public ulong capacity;
    }
}
