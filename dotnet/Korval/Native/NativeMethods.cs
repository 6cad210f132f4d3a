using System;
using System.Runtime.InteropServices;

namespace Korval.Native
{
    /// <summary>Receives each buffer of a continuous acquisition (the C library's <c>PContCallback</c>).</summary>
    /// <param name="pBuf">The buffer's samples, 16-bit counts.</param>
    /// <param name="BufSize">The buffer's size in bytes.</param>
    /// <param name="Flags">The buffer's flags.</param>
    /// <param name="Context">The value given to ADC_BulkContinuousStart().</param>
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void ContinuousCallback(IntPtr pBuf, uint BufSize, uint Flags, uint Context);

    /// <summary>Receives each block of a measurement (the C library's <c>KorvalMeasureCallback</c>).</summary>
    /// <param name="pBlock">The block, a <see cref="KorvalMeasureBlock"/>, valid during the call only.</param>
    /// <param name="pContext">The value given to KORVAL_MeasureStart().</param>
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void MeasureCallback(IntPtr pBlock, IntPtr pContext);

    /// <summary>Told of a board that arrived or left (the C library's <c>KorvalBoardCallback</c>), on the
    /// library's notification thread.</summary>
    /// <param name="Context">The value given to KORVAL_RegisterBoardNotification().</param>
    /// <param name="pEvent">The event, a <see cref="KorvalBoardEvent"/>, valid during the call only.</param>
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void BoardCallback(IntPtr Context, IntPtr pEvent);

    /// <summary>
    /// Every function of the C library as it is exported: the board functions, the measurements and the
    /// simulated boards. Each returns the C function's value unchanged; the classes of the
    /// <see cref="Korval"/> namespace build on these and turn result codes into exceptions.
    /// </summary>
    /// <remarks>
    /// Pointers to single values are <c>ref</c> parameters, buffers are arrays (pinned for the call, so
    /// the library writes straight into them) and opaque objects are <see cref="IntPtr"/>. The library
    /// is named <c>korval</c>: .NET resolves it through <see cref="LibraryResolver"/>, Mono and
    /// .NET Framework by their own search (<c>libkorval.so</c>, <c>KORVAL.dll</c>).
    /// </remarks>
    public static class NativeMethods
    {
        /// <summary>The name every declaration imports: <c>korval</c>.</summary>
        public const string Library = "korval";

        static NativeMethods()
        {
            LibraryResolver.Install();
        }

        // ---- korval.h ----
        /// <summary>The slot a device index names.</summary>
        [DllImport(Library, EntryPoint = "ResolveDeviceIndex")]
        public static extern uint ResolveDeviceIndex(uint DeviceIndex);

        /// <summary>There is no device-selection dialog: always 50 (ERROR_NOT_SUPPORTED).</summary>
        [DllImport(Library, EntryPoint = "SelectDeviceViaUI")]
        public static extern uint SelectDeviceViaUI(UIntPtr Arg1, UIntPtr Arg2, UIntPtr Arg3, UIntPtr Arg4, UIntPtr Arg5, UIntPtr Arg6, UIntPtr Arg7);

        /// <summary>Finds boards attached since the last look and returns the slots that hold a usable board.</summary>
        [DllImport(Library, EntryPoint = "GetDevices")]
        public static extern uint GetDevices();

        /// <summary>Frees every slot whose board has gone and checks each board still open.</summary>
        [DllImport(Library, EntryPoint = "ClearDevices")]
        public static extern uint ClearDevices();

        /// <summary>Closes the board of a slot, or clears the slot's removal mark after an unplug.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_CloseDevice")]
        public static extern uint KORVAL_CloseDevice(uint DeviceIndex);

        /// <summary>Sends a device-to-host vendor request and receives its data stage.</summary>
        [DllImport(Library, EntryPoint = "GenericVendorRead")]
        public static extern uint GenericVendorRead(uint DeviceIndex, byte Request, ushort RequestValue, ushort RequestIndex, ref uint pDataSize, byte[] pData);

        /// <summary>Sends a host-to-device vendor request with DataSize bytes of pData as its data stage.</summary>
        [DllImport(Library, EntryPoint = "GenericVendorWrite")]
        public static extern uint GenericVendorWrite(uint DeviceIndex, byte Request, ushort RequestValue, ushort RequestIndex, uint DataSize, byte[] pData);

        /// <summary>What board sits at an index: product ID, product name, digital ports and counter blocks.</summary>
        [DllImport(Library, EntryPoint = "QueryDeviceInfo")]
        public static extern uint QueryDeviceInfo(uint DeviceIndex, ref uint pPID, ref uint pNameSize, byte[] pName, ref uint pDIOBytes, ref uint pCounters);

        /// <summary>The board's 64-bit serial number, from its EEPROM.</summary>
        [DllImport(Library, EntryPoint = "GetDeviceSerialNumber")]
        public static extern uint GetDeviceSerialNumber(uint DeviceIndex, ref ulong pSerialNumber);

        /// <summary>The low bytes of the serial number, little-endian, as a byte string.</summary>
        [DllImport(Library, EntryPoint = "GetDeviceUniqueStr")]
        public static extern uint GetDeviceUniqueStr(uint DeviceIndex, ref uint pUniqueSize, byte[] pUnique);

        /// <summary>The lowest slot whose board has this serial number.</summary>
        [DllImport(Library, EntryPoint = "GetDeviceBySerialNumber")]
        public static extern uint GetDeviceBySerialNumber(ulong SerialNumber);

        /// <summary>The lowest slot whose board holds this byte at address 0 of its custom EEPROM area.</summary>
        [DllImport(Library, EntryPoint = "GetDeviceByEEPROMByte")]
        public static extern uint GetDeviceByEEPROMByte(byte EEPROMByte);

        /// <summary>The lowest slot whose board holds these bytes at StartAddress of its custom EEPROM area.</summary>
        [DllImport(Library, EntryPoint = "GetDeviceByEEPROMData")]
        public static extern uint GetDeviceByEEPROMData(uint StartAddress, uint DataSize, byte[] pData);

        /// <summary>The low 32 bits of the board's driver handle, for callers that talk to the board themselves.</summary>
        [DllImport(Library, EntryPoint = "GetDeviceHandle")]
        public static extern uint GetDeviceHandle(uint DeviceIndex, ref uint pHandle);

        /// <summary>The board's pipes: PipeId in bits 0-7, WinUSB PipeType from bit 8.</summary>
        [DllImport(Library, EntryPoint = "GetPipes")]
        public static extern uint GetPipes(uint DeviceIndex, ref uint pPipeCount, [In, Out] uint[] pPipes);

        /// <summary>Fills *pCaps with what the board at the index can do.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_GetCapabilities")]
        public static extern uint KORVAL_GetCapabilities(uint DeviceIndex, ref KorvalCapabilities pCaps);

        /// <summary>Describes one of the attached boards of the family that this program cannot open.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_GetUnusableBoard")]
        public static extern uint KORVAL_GetUnusableBoard(uint Index, ref KorvalUnusableBoard pBoard);

        /// <summary>Asks to be told, on a library thread, of every board of the family that is plugged in or unplugged from now on. Keep the delegate alive until the registration ends.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_RegisterBoardNotification")]
        public static extern uint KORVAL_RegisterBoardNotification(BoardCallback Callback, IntPtr Context, uint Flags, ref uint pRegistration);

        /// <summary>Ends a board notification; from another thread, waits for a running callback to return.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_UnregisterBoardNotification")]
        public static extern uint KORVAL_UnregisterBoardNotification(uint Registration);

        /// <summary>What a product can do, by its USB product ID, from the same product table as KORVAL_GetCapabilities() (no board needed).</summary>
        [DllImport(Library, EntryPoint = "KORVAL_GetProductCapabilities")]
        public static extern uint KORVAL_GetProductCapabilities(uint ProductID, ref KorvalCapabilities pCaps);

        /// <summary>Every product ID the library knows, in ascending order.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_ListProducts")]
        public static extern uint KORVAL_ListProducts(ref uint pCount, [In, Out] uint[] pProductIDs);

        /// <summary>The loaded library's version.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_GetVersion")]
        public static extern uint KORVAL_GetVersion();

        /// <summary>The server a remote board is reached through, "HOST:PORT" (KORVAL_AddRemote()); "" for a board of this computer.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_GetRemoteServer")]
        public static extern uint KORVAL_GetRemoteServer(uint DeviceIndex, ref uint pServerSize, byte[] pServer);

        /// <summary>Reads up to DataSize bytes from a bulk IN pipe straight into pData.</summary>
        [DllImport(Library, EntryPoint = "QBT_GenericBulkIn")]
        public static extern uint QBT_GenericBulkIn(uint DeviceIndex, uint PipeID, byte[] pData, uint DataSize, ref uint pBytesTransferred);

        /// <summary>Writes DataSize bytes of pData to a bulk OUT pipe.</summary>
        [DllImport(Library, EntryPoint = "QBT_GenericBulkOut")]
        public static extern uint QBT_GenericBulkOut(uint DeviceIndex, uint PipeID, byte[] pData, uint DataSize, ref uint pBytesTransferred);

        /// <summary>The boards have one interface: 50 for an open board; nothing is sent.</summary>
        [DllImport(Library, EntryPoint = "DEB_SetInterface")]
        public static extern uint DEB_SetInterface(uint DeviceIndex, ushort InterfaceNumber);

        /// <summary>Not offered: always 50, whatever the arguments (the device index is not looked at).</summary>
        [DllImport(Library, EntryPoint = "DEB_BulkIn")]
        public static extern uint DEB_BulkIn(uint DeviceIndex, uint PipeID, byte[] pData, uint DataSize);

        /// <summary>QBT_GenericBulkOut() without the byte count.</summary>
        [DllImport(Library, EntryPoint = "DEB_BulkOut")]
        public static extern uint DEB_BulkOut(uint DeviceIndex, uint PipeID, byte[] pData, uint DataSize);

        /// <summary>Clears the board's stream FIFOs.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_ClearFIFO")]
        public static extern uint KORVAL_ClearFIFO(uint DeviceIndex, uint TimeMethod);

        /// <summary>The board's 32-bit stream status word (its bits are the firmware's).</summary>
        [DllImport(Library, EntryPoint = "KORVAL_GetStreamStatus")]
        public static extern uint KORVAL_GetStreamStatus(uint DeviceIndex, ref uint pStatus);

        /// <summary>Sets the largest single streaming transfer.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_SetStreamingBlockSize")]
        public static extern uint KORVAL_SetStreamingBlockSize(uint DeviceIndex, uint BlockSize);

        /// <summary>Holds the board's USB controller in reset and releases it, so that its firmware starts again.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_ResetChip")]
        public static extern uint KORVAL_ResetChip(uint DeviceIndex);

        /// <summary>Not offered: always 50, whatever the arguments.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_UploadFirmware")]
        public static extern uint KORVAL_UploadFirmware(uint DeviceIndex, byte[] pFirmware, uint FirmwareSize);

        /// <summary>Reads the EEPROM's custom area: 256 bytes (addresses 0x00 to 0xFF) the application may use.</summary>
        [DllImport(Library, EntryPoint = "CustomEEPROMRead")]
        public static extern uint CustomEEPROMRead(uint DeviceIndex, uint StartAddress, ref uint pDataSize, byte[] pData);

        /// <summary>Writes the EEPROM's custom area, in pieces of 32 bytes.</summary>
        [DllImport(Library, EntryPoint = "CustomEEPROMWrite")]
        public static extern uint CustomEEPROMWrite(uint DeviceIndex, uint StartAddress, uint DataSize, byte[] pData);

        /// <summary>Reads the flash (the first 1 MiB), in whole 16-bit words.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_FlashRead")]
        public static extern uint KORVAL_FlashRead(uint DeviceIndex, uint StartAddress, ref uint pDataSize, byte[] pData);

        /// <summary>Writes the flash (the whole 2 MiB), in whole 16-bit words. A write only clears bits: erase first.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_FlashWrite")]
        public static extern uint KORVAL_FlashWrite(uint DeviceIndex, uint StartAddress, uint DataSize, byte[] pData);

        /// <summary>Erases one 64 KiB flash sector (every bit set).</summary>
        [DllImport(Library, EntryPoint = "KORVAL_FlashEraseSector")]
        public static extern uint KORVAL_FlashEraseSector(uint DeviceIndex, int Sector);

        /// <summary>Saves the board's present state as its power-on defaults.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_SaveStateAsDefaults")]
        public static extern uint KORVAL_SaveStateAsDefaults(uint DeviceIndex);

        /// <summary>Puts the factory's power-on defaults back.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_RestoreFactoryDefaults")]
        public static extern uint KORVAL_RestoreFactoryDefaults(uint DeviceIndex);

        /// <summary>Sends the power-on defaults table.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_SetDefaultsTable")]
        public static extern uint KORVAL_SetDefaultsTable(uint DeviceIndex, byte[] pTable, ref uint pTableSize);

        /// <summary>Reads the power-on defaults table.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_GetDefaultsTable")]
        public static extern uint KORVAL_GetDefaultsTable(uint DeviceIndex, byte[] pTable, ref uint pTableSize);

        /// <summary>Reads the board's ADC configuration block.</summary>
        [DllImport(Library, EntryPoint = "ADC_GetConfig")]
        public static extern uint ADC_GetConfig(uint DeviceIndex, [In, Out] byte[] pConfigBuf, ref uint pConfigBufSize);

        /// <summary>Writes the whole configuration block; its content is not examined.</summary>
        [DllImport(Library, EntryPoint = "ADC_SetConfig")]
        public static extern uint ADC_SetConfig(uint DeviceIndex, [In] byte[] pConfigBuf, ref uint pConfigBufSize);

        /// <summary>Sets the gain code of every range slot.</summary>
        [DllImport(Library, EntryPoint = "ADC_RangeAll")]
        public static extern uint ADC_RangeAll(uint DeviceIndex, [In] byte[] pGainCodes, uint RangeFlag);

        /// <summary>Sets the gain code of one range slot; a range slot may cover several channels.</summary>
        [DllImport(Library, EntryPoint = "ADC_Range1")]
        public static extern uint ADC_Range1(uint DeviceIndex, uint ADChannel, byte GainCode, uint RangeFlag);

        /// <summary>Sets the trigger byte and the calibration mode.</summary>
        [DllImport(Library, EntryPoint = "ADC_ADMode")]
        public static extern uint ADC_ADMode(uint DeviceIndex, byte TriggerMode, byte CalMode);

        /// <summary>Sets the channels a scan covers, StartChannel to EndChannel.</summary>
        [DllImport(Library, EntryPoint = "ADC_SetScanLimits")]
        public static extern uint ADC_SetScanLimits(uint DeviceIndex, uint StartChannel, uint EndChannel);

        /// <summary>Sets the extra samples taken per channel in one scan (each channel gives Oversample + 1).</summary>
        [DllImport(Library, EntryPoint = "ADC_SetOversample")]
        public static extern uint ADC_SetOversample(uint DeviceIndex, byte Oversample);

        /// <summary>Sends the start request that begins a conversion the board has been told to expect.</summary>
        [DllImport(Library, EntryPoint = "ADC_GetImmediate")]
        public static extern uint ADC_GetImmediate(uint DeviceIndex, ushort Channel, ref ushort pData);

        /// <summary>One scan of the configured channels, in counts.</summary>
        [DllImport(Library, EntryPoint = "ADC_GetScan")]
        public static extern uint ADC_GetScan(uint DeviceIndex, [In, Out] ushort[] pBuf);

        /// <summary>One scan of the configured channels, in volts by each channel's range (see ADC_GetScan()).</summary>
        [DllImport(Library, EntryPoint = "ADC_GetScanV")]
        public static extern uint ADC_GetScanV(uint DeviceIndex, [In, Out] double[] pVolts);

        /// <summary>One channel of a volts scan.</summary>
        [DllImport(Library, EntryPoint = "ADC_GetChannelV")]
        public static extern uint ADC_GetChannelV(uint DeviceIndex, uint ChannelIndex, ref double pVolt);

        /// <summary>A scan left to the board's trigger, in counts.</summary>
        [DllImport(Library, EntryPoint = "ADC_GetTrigScan")]
        public static extern uint ADC_GetTrigScan(uint DeviceIndex, [In, Out] ushort[] pBuf, int TimeoutMS);

        /// <summary>A scan left to the board's trigger, in volts; on a time-out the library's own scan is delivered.</summary>
        [DllImport(Library, EntryPoint = "ADC_GetTrigScanV")]
        public static extern uint ADC_GetTrigScanV(uint DeviceIndex, [In, Out] double[] pVolts, int TimeoutMS);

        /// <summary>Checks the board only: 0 for a board with the bulk analog input.</summary>
        [DllImport(Library, EntryPoint = "ADC_Start")]
        public static extern uint ADC_Start(uint DeviceIndex);

        /// <summary>Checks the board only, as ADC_Start().</summary>
        [DllImport(Library, EntryPoint = "ADC_Stop")]
        public static extern uint ADC_Stop(uint DeviceIndex);

        /// <summary>Starts a one-shot acquisition of BufSize bytes into pBuf, read in the background.</summary>
        [DllImport(Library, EntryPoint = "ADC_BulkAcquire")]
        public static extern uint ADC_BulkAcquire(uint DeviceIndex, uint BufSize, byte[] pBuf);

        /// <summary>The bytes of a one-shot acquisition still to come (0: done).</summary>
        [DllImport(Library, EntryPoint = "ADC_BulkPoll")]
        public static extern uint ADC_BulkPoll(uint DeviceIndex, ref int pBytesLeft);

        /// <summary>Ends a running one-shot acquisition (its poll then gives 995); for one that has ended, its result.</summary>
        [DllImport(Library, EntryPoint = "ADC_BulkAbort")]
        public static extern uint ADC_BulkAbort(uint DeviceIndex);

        /// <summary>Whether the board takes an ADC calibration table.</summary>
        [DllImport(Library, EntryPoint = "ADC_QueryCal")]
        public static extern uint ADC_QueryCal(uint DeviceIndex);

        /// <summary>Loads the board's ADC calibration table.</summary>
        [DllImport(Library, EntryPoint = "ADC_SetCal")]
        public static extern uint ADC_SetCal(uint DeviceIndex, [MarshalAs(UnmanagedType.LPStr)] string pCalFileName);

        /// <summary>Measures the board's low or high reference in volts, in the range of range slot 0.</summary>
        [DllImport(Library, EntryPoint = "ADC_GetCalRefV")]
        public static extern uint ADC_GetCalRefV(uint DeviceIndex, uint CalRefIndex, ref double pRef);

        /// <summary>ADC_SetConfig() when a block is given, then ADC_SetCal() when a name is given.</summary>
        [DllImport(Library, EntryPoint = "ADC_Initialize")]
        public static extern uint ADC_Initialize(uint DeviceIndex, [In] byte[] pConfigBuf, ref uint pConfigBufSize, [MarshalAs(UnmanagedType.LPStr)] string pCalFileName);

        /// <summary>Starts an endless acquisition into a ring of BufCount buffers of BufSize bytes each.</summary>
        [DllImport(Library, EntryPoint = "ADC_BulkContinuousStart")]
        public static extern uint ADC_BulkContinuousStart(uint DeviceIndex, uint BufSize, int BufCount, uint Context, ContinuousCallback pCallback);

        /// <summary>Ends continuous acquisition: stops both threads, delivers what was read, makes the final call.</summary>
        [DllImport(Library, EntryPoint = "ADC_BulkContinuousEnd")]
        public static extern uint ADC_BulkContinuousEnd(uint DeviceIndex, ref uint pIOStatus);

        /// <summary>The ring's buffers by state. Exported under this plain name only.</summary>
        [DllImport(Library, EntryPoint = "ADC_BulkContinuousDebug")]
        public static extern uint ADC_BulkContinuousDebug(uint DeviceIndex, ref int pBlanks, ref int pAccessings, ref int pGotDatas);

        /// <summary>Prepares fast scans: saves the block, writes a fast-scan block for all channels, switches the board over.</summary>
        [DllImport(Library, EntryPoint = "ADC_InitFastITScanV")]
        public static extern uint ADC_InitFastITScanV(uint DeviceIndex);

        /// <summary>Writes the saved block back and switches the fast-scan setting off.</summary>
        [DllImport(Library, EntryPoint = "ADC_ResetFastITScanV")]
        public static extern uint ADC_ResetFastITScanV(uint DeviceIndex);

        /// <summary>Scans channels 0 to NewChannels - 1 from now on.</summary>
        [DllImport(Library, EntryPoint = "ADC_SetFastITScanVChannels")]
        public static extern uint ADC_SetFastITScanVChannels(uint DeviceIndex, uint NewChannels);

        /// <summary>One fast scan, in volts.</summary>
        [DllImport(Library, EntryPoint = "ADC_GetFastITScanV")]
        public static extern uint ADC_GetFastITScanV(uint DeviceIndex, [In, Out] double[] pVolts);

        /// <summary>Init, one fast scan and reset in one call: the board's block and setting are back when it returns.</summary>
        [DllImport(Library, EntryPoint = "ADC_GetITScanV")]
        public static extern uint ADC_GetITScanV(uint DeviceIndex, [In, Out] double[] pVolts);

        /// <summary>Puts out a 16-bit count on one DAC channel.</summary>
        [DllImport(Library, EntryPoint = "DACDirect")]
        public static extern uint DACDirect(uint DeviceIndex, ushort Channel, ushort Value);

        /// <summary>Sets several channels in one request; a channel named twice takes its last value.</summary>
        [DllImport(Library, EntryPoint = "DACMultiDirect")]
        public static extern uint DACMultiDirect(uint DeviceIndex, [In] KorvalDACPair[] pDACData, int DACDataCount);

        /// <summary>Selects the board-wide output range.</summary>
        [DllImport(Library, EntryPoint = "DACSetBoardRange")]
        public static extern uint DACSetBoardRange(uint DeviceIndex, ushort Range);

        /// <summary>Loads a channel's calibration table into the board's flash from a text file.</summary>
        [DllImport(Library, EntryPoint = "DACSetChannelCal")]
        public static extern uint DACSetChannelCal(uint DeviceIndex, uint Channel, [MarshalAs(UnmanagedType.LPStr)] string pCalFileName);

        /// <summary>Opens waveform output at a point rate and writes the rate obtained back.</summary>
        [DllImport(Library, EntryPoint = "DACOutputOpen")]
        public static extern uint DACOutputOpen(uint DeviceIndex, ref double pClockHz);

        /// <summary>Another name of DACOutputOpen(): the same entry point.</summary>
        [DllImport(Library, EntryPoint = "DACOutputOpenNoClear")]
        public static extern uint DACOutputOpenNoClear(uint DeviceIndex, ref double pClockHz);

        /// <summary>Sets the channels per point.</summary>
        [DllImport(Library, EntryPoint = "DACOutputSetCount")]
        public static extern uint DACOutputSetCount(uint DeviceIndex, uint NewCount);

        /// <summary>Queues a frame of points; the library sets the end-of-point and end-of-frame bits.</summary>
        [DllImport(Library, EntryPoint = "DACOutputFrame")]
        public static extern uint DACOutputFrame(uint DeviceIndex, uint FramePoints, [In] ushort[] pFrameData);

        /// <summary>As DACOutputFrame(), with the caller's words queued exactly as given (the caller sets the tag bits).</summary>
        [DllImport(Library, EntryPoint = "DACOutputFrameRaw")]
        public static extern uint DACOutputFrameRaw(uint DeviceIndex, uint FramePoints, [In] ushort[] pFrameData);

        /// <summary>Starts the output now instead of when 163,840 bytes are on their way.</summary>
        [DllImport(Library, EntryPoint = "DACOutputStart")]
        public static extern uint DACOutputStart(uint DeviceIndex);

        /// <summary>Turns the board's output interlock on or off.</summary>
        [DllImport(Library, EntryPoint = "DACOutputSetInterlock")]
        public static extern uint DACOutputSetInterlock(uint DeviceIndex, uint bInterlock);

        /// <summary>Ends waveform output: marks the end of the waveform and returns once every queued block reached the board.</summary>
        [DllImport(Library, EntryPoint = "DACOutputClose")]
        public static extern uint DACOutputClose(uint DeviceIndex);

        /// <summary>As DACOutputClose() without the end-of-waveform mark.</summary>
        [DllImport(Library, EntryPoint = "DACOutputCloseNoEnd")]
        public static extern uint DACOutputCloseNoEnd(uint DeviceIndex);

        /// <summary>Plays words at a rate without a worker: programs the rate, sends the words, starts the output.</summary>
        [DllImport(Library, EntryPoint = "DACOutputProcess")]
        public static extern uint DACOutputProcess(uint DeviceIndex, ref double pClockHz, uint NumSamples, [In] ushort[] pSampleData);

        /// <summary>Not supported: returns 50 without looking at its argument.</summary>
        [DllImport(Library, EntryPoint = "DACOutputAbort")]
        public static extern uint DACOutputAbort(uint DeviceIndex);

        /// <summary>Not supported: returns 50 without looking at its argument.</summary>
        [DllImport(Library, EntryPoint = "DACOutputStatus")]
        public static extern uint DACOutputStatus(uint DeviceIndex);

        /// <summary>Sets output levels and directions.</summary>
        [DllImport(Library, EntryPoint = "DIO_Configure")]
        public static extern uint DIO_Configure(uint DeviceIndex, byte bTristate, byte[] pOutMask, byte[] pData);

        /// <summary>DIO_Configure() with a tristate mask.</summary>
        [DllImport(Library, EntryPoint = "DIO_ConfigureEx")]
        public static extern uint DIO_ConfigureEx(uint DeviceIndex, byte[] pOutMask, byte[] pData, byte[] pTristateMask);

        /// <summary>Reads the direction and tristate masks back from the board.</summary>
        [DllImport(Library, EntryPoint = "DIO_ConfigurationQuery")]
        public static extern uint DIO_ConfigurationQuery(uint DeviceIndex, byte[] pOutMask, byte[] pTristateMask);

        /// <summary>Sets or clears one output line.</summary>
        [DllImport(Library, EntryPoint = "DIO_Write1")]
        public static extern uint DIO_Write1(uint DeviceIndex, uint BitIndex, byte bData);

        /// <summary>Sets one port's output levels.</summary>
        [DllImport(Library, EntryPoint = "DIO_Write8")]
        public static extern uint DIO_Write8(uint DeviceIndex, uint ByteIndex, byte Data);

        /// <summary>Sets every port's output levels.</summary>
        [DllImport(Library, EntryPoint = "DIO_WriteAll")]
        public static extern uint DIO_WriteAll(uint DeviceIndex, byte[] pData);

        /// <summary>Reads one line. Reads never change the output cache.</summary>
        [DllImport(Library, EntryPoint = "DIO_Read1")]
        public static extern uint DIO_Read1(uint DeviceIndex, uint BitIndex, ref byte pBit);

        /// <summary>Reads one port's levels.</summary>
        [DllImport(Library, EntryPoint = "DIO_Read8")]
        public static extern uint DIO_Read8(uint DeviceIndex, uint ByteIndex, ref byte pByte);

        /// <summary>Reads every port's levels.</summary>
        [DllImport(Library, EntryPoint = "DIO_ReadAll")]
        public static extern uint DIO_ReadAll(uint DeviceIndex, byte[] pData);

        /// <summary>Writes one 16-bit word of the board's offline memory.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_OfflineWrite1")]
        public static extern uint KORVAL_OfflineWrite1(uint DeviceIndex, uint Address, ushort Value);

        /// <summary>Reads one 16-bit word of the board's offline memory.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_OfflineRead1")]
        public static extern uint KORVAL_OfflineRead1(uint DeviceIndex, uint Address, ref ushort pValue);

        /// <summary>Opens the board's digital stream in one direction.</summary>
        [DllImport(Library, EntryPoint = "DIO_StreamOpen")]
        public static extern uint DIO_StreamOpen(uint DeviceIndex, uint bIsRead);

        /// <summary>Closes the stream on the host side; a frame still moving on another thread is cancelled.</summary>
        [DllImport(Library, EntryPoint = "DIO_StreamClose")]
        public static extern uint DIO_StreamClose(uint DeviceIndex);

        /// <summary>Programs the stream's two clocks; each value is written back as the frequency the board will make.</summary>
        [DllImport(Library, EntryPoint = "DIO_StreamSetClocks")]
        public static extern uint DIO_StreamSetClocks(uint DeviceIndex, ref double pClockAHz, ref double pClockBHz);

        /// <summary>Moves a frame of points in the stream's direction.</summary>
        [DllImport(Library, EntryPoint = "DIO_StreamFrame")]
        public static extern uint DIO_StreamFrame(uint DeviceIndex, uint FramePoints, byte[] pFrameData, ref uint pBytesTransferred);

        /// <summary>Writes one register of a device on the board's SPI bus.</summary>
        [DllImport(Library, EntryPoint = "DIO_SPI_Write")]
        public static extern uint DIO_SPI_Write(uint DeviceIndex, byte SPIAddress, byte Register, byte Data);

        /// <summary>Reads one register of a device on the board's SPI bus.</summary>
        [DllImport(Library, EntryPoint = "DIO_SPI_Read")]
        public static extern uint DIO_SPI_Read(uint DeviceIndex, byte SPIAddress, byte Register, ref byte pData);

        /// <summary>Programs the sync pulse generator; each value is written back as the board will run it.</summary>
        [DllImport(Library, EntryPoint = "DIO_CSA_DoSync")]
        public static extern uint DIO_CSA_DoSync(uint DeviceIndex, ref double pRateHz, ref double pTimeA, ref double pTimeB, ref double pTimeC);

        /// <summary>Sets the input debounce count.</summary>
        [DllImport(Library, EntryPoint = "DIO_CSA_DebounceSet")]
        public static extern uint DIO_CSA_DebounceSet(uint DeviceIndex, uint DebounceCounts);

        /// <summary>Reads the board's debounce data, 2 bytes per digital port.</summary>
        [DllImport(Library, EntryPoint = "DIO_CSA_DebounceReadAll")]
        public static extern uint DIO_CSA_DebounceReadAll(uint DeviceIndex, byte[] pData);

        /// <summary>Stores 32 bytes of DAC range limits in the board's EEPROM, marked as set.</summary>
        [DllImport(Library, EntryPoint = "DAC_CSA_SetRangeLimits")]
        public static extern uint DAC_CSA_SetRangeLimits(uint DeviceIndex, byte[] pData);

        /// <summary>Removes the mark that the DAC range limits are set (the bytes stay).</summary>
        [DllImport(Library, EntryPoint = "DAC_CSA_ClearRangeLimits")]
        public static extern uint DAC_CSA_ClearRangeLimits(uint DeviceIndex);

        /// <summary>Reads all digital ports over and over, back to back, filling pBuffer with whole snapshots.</summary>
        [DllImport(Library, EntryPoint = "DIO_CSA_ReadAllString")]
        public static extern uint DIO_CSA_ReadAllString(uint DeviceIndex, byte[] pBuffer, ref uint pBufferSize);

        /// <summary>Clears the board's automap table.</summary>
        [DllImport(Library, EntryPoint = "DIO_Automap_ClearTable")]
        public static extern uint DIO_Automap_ClearTable(uint DeviceIndex);

        /// <summary>Loads the whole automap table of 2-byte entries. An odd size is made even and written back.</summary>
        [DllImport(Library, EntryPoint = "DIO_Automap_SetTable")]
        public static extern uint DIO_Automap_SetTable(uint DeviceIndex, byte[] pTable, ref uint pTableSize);

        /// <summary>Appends one 16-bit entry to the automap table (sent low byte first).</summary>
        [DllImport(Library, EntryPoint = "DIO_Automap_AddEntry")]
        public static extern uint DIO_Automap_AddEntry(uint DeviceIndex, [In] ushort[] pEntry);

        /// <summary>Sets the automap tick divisor.</summary>
        [DllImport(Library, EntryPoint = "DIO_Automap_SetTickDivisor")]
        public static extern uint DIO_Automap_SetTickDivisor(uint DeviceIndex, [In] byte[] pDivisor);

        /// <summary>Loads the settings of all PWM outputs. An odd table size is made even and written back.</summary>
        [DllImport(Library, EntryPoint = "DIO_PWM_SetAll")]
        public static extern uint DIO_PWM_SetAll(uint DeviceIndex, [In] byte[] pPWMFirst, byte[] pTable, ref uint pTableSize);

        /// <summary>Sets the input latches' divisor.</summary>
        [DllImport(Library, EntryPoint = "DIO_Latch_SetDivisor")]
        public static extern uint DIO_Latch_SetDivisor(uint DeviceIndex, [In] byte[] pDivisor);

        /// <summary>Reads the three latch groups and discards them (the board clears its latches as it answers).</summary>
        [DllImport(Library, EntryPoint = "DIO_Latch_Reset")]
        public static extern uint DIO_Latch_Reset(uint DeviceIndex);

        /// <summary>Reads the three latch groups, one byte per port each.</summary>
        [DllImport(Library, EntryPoint = "DIO_Latch_Read")]
        public static extern uint DIO_Latch_Read(uint DeviceIndex, byte[] pGroup1, byte[] pGroup2, byte[] pGroup0, ref uint pLength);

        /// <summary>Loads the debounce configuration.</summary>
        [DllImport(Library, EntryPoint = "DIO_Deb_SetConfig")]
        public static extern uint DIO_Deb_SetConfig(uint DeviceIndex, byte[] pConfig, ref uint pConfigSize);

        /// <summary>Reads the debounced state of all ports.</summary>
        [DllImport(Library, EntryPoint = "DIO_Deb_ReadAll")]
        public static extern uint DIO_Deb_ReadAll(uint DeviceIndex, byte[] pData);

        /// <summary>Programs a counter's mode.</summary>
        [DllImport(Library, EntryPoint = "CTR_8254Mode")]
        public static extern uint CTR_8254Mode(uint DeviceIndex, uint BlockIndex, uint CounterIndex, uint Mode);

        /// <summary>Loads a counter's count.</summary>
        [DllImport(Library, EntryPoint = "CTR_8254Load")]
        public static extern uint CTR_8254Load(uint DeviceIndex, uint BlockIndex, uint CounterIndex, ushort LoadValue);

        /// <summary>Programs a counter's mode and loads its count in one request.</summary>
        [DllImport(Library, EntryPoint = "CTR_8254ModeLoad")]
        public static extern uint CTR_8254ModeLoad(uint DeviceIndex, uint BlockIndex, uint CounterIndex, uint Mode, ushort LoadValue);

        /// <summary>Programs mode and count, then reads the counter back.</summary>
        [DllImport(Library, EntryPoint = "CTR_8254ReadModeLoad")]
        public static extern uint CTR_8254ReadModeLoad(uint DeviceIndex, uint BlockIndex, uint CounterIndex, uint Mode, ushort LoadValue, ref ushort pReadValue);

        /// <summary>Reads a counter's count.</summary>
        [DllImport(Library, EntryPoint = "CTR_8254Read")]
        public static extern uint CTR_8254Read(uint DeviceIndex, uint BlockIndex, uint CounterIndex, ref ushort pReadValue);

        /// <summary>Reads a counter's count and its 8254 status byte.</summary>
        [DllImport(Library, EntryPoint = "CTR_8254ReadStatus")]
        public static extern uint CTR_8254ReadStatus(uint DeviceIndex, uint BlockIndex, uint CounterIndex, ref ushort pReadValue, ref byte pStatus);

        /// <summary>Reads every counter: Counters x 3 counts of 16 bits, little-endian, in flat order.</summary>
        [DllImport(Library, EntryPoint = "CTR_8254ReadAll")]
        public static extern uint CTR_8254ReadAll(uint DeviceIndex, byte[] pData);

        /// <summary>Reads every counter latched at one instant, and one further byte from the board.</summary>
        [DllImport(Library, EntryPoint = "CTR_8254ReadLatched")]
        public static extern uint CTR_8254ReadLatched(uint DeviceIndex, byte[] pData);

        /// <summary>Selects a counter's gate source, by flat counter number.</summary>
        [DllImport(Library, EntryPoint = "CTR_8254SelectGate")]
        public static extern uint CTR_8254SelectGate(uint DeviceIndex, uint GateIndex);

        /// <summary>Makes counters 1 and 2 of a block a frequency source; writes back the frequency obtained.</summary>
        [DllImport(Library, EntryPoint = "CTR_StartOutputFreq")]
        public static extern uint CTR_StartOutputFreq(uint DeviceIndex, uint BlockIndex, ref double pHz);

        /// <summary>Watches two gates; the board reports their events on two bulk endpoints.</summary>
        [DllImport(Library, EntryPoint = "CTR_SetWaitGates")]
        public static extern uint CTR_SetWaitGates(uint DeviceIndex, uint GateA, uint GateB);

        /// <summary>Stops watching the gates and ends the waits still blocked (they return 995).</summary>
        [DllImport(Library, EntryPoint = "CTR_EndWaitGates")]
        public static extern uint CTR_EndWaitGates(uint DeviceIndex);

        /// <summary>Blocks until the board reports an event of gate A or B and stores the report.</summary>
        [DllImport(Library, EntryPoint = "CTR_WaitForGate")]
        public static extern uint CTR_WaitForGate(uint DeviceIndex, uint GateId, byte[] pContent);

        /// <summary>Sets the board's global tick on a 12 MHz base.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_SetGlobalTickRate")]
        public static extern uint KORVAL_SetGlobalTickRate(uint DeviceIndex, ref double pHz);

        /// <summary>Starts measuring pulse widths on every counter.</summary>
        [DllImport(Library, EntryPoint = "CTR_StartMeasuringPulseWidth")]
        public static extern uint CTR_StartMeasuringPulseWidth(uint DeviceIndex);

        /// <summary>Stops and frees the pulse-width monitor; also after the board has gone.</summary>
        [DllImport(Library, EntryPoint = "CTR_StopMeasuringPulseWidth")]
        public static extern uint CTR_StopMeasuringPulseWidth(uint DeviceIndex);

        /// <summary>Takes a counter's measurement; the next fetch gets a new one once the counter has settled again.</summary>
        [DllImport(Library, EntryPoint = "CTR_GetPulseWidthMeasurement")]
        public static extern uint CTR_GetPulseWidthMeasurement(uint DeviceIndex, uint BlockIndex, uint CounterIndex, ref ushort pReadValue);

        /// <summary>Installs the platform layer the library talks to boards through.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_InstallHost")]
        public static extern uint KORVAL_InstallHost(IntPtr host);

        /// <summary>Gives a program the operating system's host, to offer this machine's boards to others.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_SystemHost")]
        public static extern uint KORVAL_SystemHost(IntPtr pHost);

        /// <summary>Adds the boards of a `korval serve` server on another machine to the device table.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_AddRemote")]
        public static extern uint KORVAL_AddRemote([MarshalAs(UnmanagedType.LPStr)] string Address, [MarshalAs(UnmanagedType.LPStr)] string TokenFile, [MarshalAs(UnmanagedType.LPStr)] string CaFile);

        /// <summary>The calling thread's last-error value as the library sets it.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_GetLastError")]
        public static extern uint KORVAL_GetLastError();

        /// <summary>Sets the calling thread's last-error value (on Windows, SetLastError).</summary>
        [DllImport(Library, EntryPoint = "KORVAL_SetLastError")]
        public static extern void KORVAL_SetLastError(uint error);

        // ---- measure.h ----
        /// <summary>Makes a measurement object for a board. Sends nothing.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_MeasureCreate")]
        public static extern uint KORVAL_MeasureCreate(uint DeviceIndex, out IntPtr ppMeasurement);

        /// <summary>Checks the settings and starts the measurement; writes the rate obtained to pSettings-&gt;Rate.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_MeasureStart")]
        public static extern uint KORVAL_MeasureStart(IntPtr pMeasurement, ref KorvalMeasureSettings pSettings, MeasureCallback pCallback, IntPtr pContext);

        /// <summary>The next block, waiting at most TimeoutMS for it.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_MeasureRead")]
        public static extern uint KORVAL_MeasureRead(IntPtr pMeasurement, ref KorvalMeasureBlock pBlock, [In, Out] double[] pVolts, [In, Out] ushort[] pCounts, uint CapacityScans, uint TimeoutMS);

        /// <summary>How the measurement stands: scans delivered, ring growths, the rate obtained, the result.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_MeasureGetStatus")]
        public static extern uint KORVAL_MeasureGetStatus(IntPtr pMeasurement, ref KorvalMeasureStatus pStatus);

        /// <summary>Stops a running measurement: ends the acquisition and the scan clock, joins the library's threads. Always returns, also after an unplug. Blocks not yet read are dropped.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_MeasureStop")]
        public static extern uint KORVAL_MeasureStop(IntPtr pMeasurement);

        /// <summary>Stops the measurement if it runs and frees it.</summary>
        [DllImport(Library, EntryPoint = "KORVAL_MeasureDestroy")]
        public static extern uint KORVAL_MeasureDestroy(IntPtr pMeasurement);

        // ---- sim.h ----
        /// <summary>Creates a simulation with no boards.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_Create")]
        public static extern IntPtr KorvalSim_Create();

        /// <summary>Destroys a simulation and its boards; install another host first.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_Destroy")]
        public static extern void KorvalSim_Destroy(IntPtr sim);

        /// <summary>The host to pass to KORVAL_InstallHost; valid while the simulation lives.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_Host")]
        public static extern IntPtr KorvalSim_Host(IntPtr sim);

        /// <summary>Whether the host offers WinUSB (default 1).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetWinUsbAvailable")]
        public static extern uint KorvalSim_SetWinUsbAvailable(IntPtr sim, int available);

        /// <summary>Attaches a board with the given USB product ID on a driver path.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_AddBoard")]
        public static extern uint KorvalSim_AddBoard(IntPtr sim, uint product_id, uint path);

        /// <summary>Unplugging makes every transfer on the board's handles fail with 1167 (ERROR_DEVICE_NOT_CONNECTED) and hides it from enumeration; transfers blocked on it end at once.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_Unplug")]
        public static extern uint KorvalSim_Unplug(IntPtr sim, uint board);

        /// <summary>Plugs an unplugged board in again, under its old interface path.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_Replug")]
        public static extern uint KorvalSim_Replug(IntPtr sim, uint board);

        /// <summary>Marks a board as one this program cannot open (error), or usable again (0), from the next discovery.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetUnusable")]
        public static extern uint KorvalSim_SetUnusable(IntPtr sim, uint board, uint error);

        /// <summary>The interface path a board is enumerated under, zero-terminated, cut to capacity.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetInterfacePath")]
        public static extern uint KorvalSim_GetInterfacePath(IntPtr sim, uint board, byte[] path, uint capacity);

        /// <summary>Number of entries in a board's log (at most the log limit, 65536 by default; older ones are dropped).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_LogCount")]
        public static extern uint KorvalSim_LogCount(IntPtr sim, uint board);

        /// <summary>Entry `index` (0 = oldest kept).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_LogEntry")]
        public static extern uint KorvalSim_LogEntry(IntPtr sim, uint board, uint index, ref KorvalSimTransfer entry, byte[] data, uint capacity);

        /// <summary>Empties a board's transfer log.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_ClearLog")]
        public static extern uint KorvalSim_ClearLog(IntPtr sim, uint board);

        /// <summary>Entries kept per board, and data bytes kept per bulk transfer (control transfers are kept whole).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetLogLimits")]
        public static extern uint KorvalSim_SetLogLimits(IntPtr sim, uint board, uint max_entries, uint max_bulk_bytes);

        /// <summary>Adds a fault rule; rules are tried in the order added and each matching transfer uses up one count.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_InjectFault")]
        public static extern uint KorvalSim_InjectFault(IntPtr sim, uint board, ref KorvalSimFault fault);

        /// <summary>Removes every fault rule of a board.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_ClearFaults")]
        public static extern uint KorvalSim_ClearFaults(IntPtr sim, uint board);

        /// <summary>Boards run on simulated time: by default it follows the steady clock from the simulation's creation. With the manual clock on, time stands still until KorvalSim_AdvanceClock moves it, so a test can place counter and sample timing exactly.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetManualClock")]
        public static extern uint KorvalSim_SetManualClock(IntPtr sim, int manual);

        /// <summary>Moves simulated time forward (with the manual clock on).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_AdvanceClock")]
        public static extern uint KorvalSim_AdvanceClock(IntPtr sim, ulong nanoseconds);

        /// <summary>Simulated time now.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_ClockNanoseconds")]
        public static extern ulong KorvalSim_ClockNanoseconds(IntPtr sim);

        /// <summary>The board's EEPROM (addresses 0x0000 to 0x1FFF), read and written directly, bypassing USB.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_EepromRead")]
        public static extern uint KorvalSim_EepromRead(IntPtr sim, uint board, uint address, uint size, byte[] data);

        /// <summary>Writes the board's EEPROM directly (addresses 0x0000 to 0x1FFF).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_EepromWrite")]
        public static extern uint KorvalSim_EepromWrite(IntPtr sim, uint board, uint address, uint size, byte[] data);

        /// <summary>The 64-bit serial number the EEPROM holds at 0x1DF8 (each board starts with its own).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetSerialNumber")]
        public static extern uint KorvalSim_SetSerialNumber(IntPtr sim, uint board, ulong serial);

        /// <summary>The three bytes the firmware answers its feature-level query with.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetFirmwareLevel")]
        public static extern uint KorvalSim_SetFirmwareLevel(IntPtr sim, uint board, [In] byte[] reply);

        /// <summary>The product name the board reports (UTF-8, at most 126 characters); each product has a default.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetProductName")]
        public static extern uint KorvalSim_SetProductName(IntPtr sim, uint board, [MarshalAs(UnmanagedType.LPStr)] string name);

        /// <summary>The flash of a board that has one (50 otherwise): read it, or load bytes into it as they are (no erase needed, unlike a write over USB); the number of sector erases the board has done.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_FlashRead")]
        public static extern uint KorvalSim_FlashRead(IntPtr sim, uint board, uint address, uint size, byte[] data);

        /// <summary>Loads bytes into the flash as they are (no erase needed).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_FlashLoad")]
        public static extern uint KorvalSim_FlashLoad(IntPtr sim, uint board, uint address, uint size, byte[] data);

        /// <summary>The number of sector erases the board has done.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_FlashEraseCount")]
        public static extern uint KorvalSim_FlashEraseCount(IntPtr sim, uint board, ref uint count);

        /// <summary>The board's power-on defaults: its defaults table (*table_size: in the buffer's size, out the table's), and how often it was told to save its state and to restore the factory defaults.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetDefaults")]
        public static extern uint KorvalSim_GetDefaults(IntPtr sim, uint board, byte[] table, ref uint table_size, ref uint saves, ref uint restores);

        /// <summary>Bulk endpoints.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_FeedBulkIn")]
        public static extern uint KorvalSim_FeedBulkIn(IntPtr sim, uint board, uint endpoint, byte[] data, uint size);

        /// <summary>size 0 removes the pattern.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetBulkInPattern")]
        public static extern uint KorvalSim_SetBulkInPattern(IntPtr sim, uint board, uint endpoint, byte[] data, uint size);

        /// <summary>Bytes waiting in an IN FIFO.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_BulkInPending")]
        public static extern uint KorvalSim_BulkInPending(IntPtr sim, uint board, uint endpoint, ref ulong bytes);

        /// <summary>Takes up to `capacity` of the oldest bytes the host sent to an OUT endpoint: *size gets the count taken, *remaining the bytes still kept (either may be NULL; capacity 0 only asks).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_ReadBulkOut")]
        public static extern uint KorvalSim_ReadBulkOut(IntPtr sim, uint board, uint endpoint, byte[] data, uint capacity, ref uint size, ref ulong remaining);

        /// <summary>The 32-bit stream status word the board reports (0 at first); boards with stream FIFOs only.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetStreamStatus")]
        public static extern uint KorvalSim_SetStreamStatus(IntPtr sim, uint board, uint status);

        /// <summary>The USB controller: whether its processor is held in reset, and how often it was released from reset (each release starts the firmware again).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetControllerState")]
        public static extern uint KorvalSim_GetControllerState(IntPtr sim, uint board, ref uint held_in_reset, ref uint restarts);

        /// <summary>The board's digital ports: masks, latches, outside levels and what reads give.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetDigitalState")]
        public static extern uint KorvalSim_GetDigitalState(IntPtr sim, uint board, ref KorvalSimDigitalState state);

        /// <summary>Sets the outside levels of ports 0 to count - 1.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetDigitalInputs")]
        public static extern uint KorvalSim_SetDigitalInputs(IntPtr sim, uint board, [In] byte[] levels, uint count);

        /// <summary>The ADC configuration block the board holds (20 or 21 bytes by product; every byte 0 at first). Get copies up to `capacity` bytes and gives the block's length in *size (may be NULL); Set replaces the first `size` bytes.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetAdcConfig")]
        public static extern uint KorvalSim_GetAdcConfig(IntPtr sim, uint board, [In, Out] byte[] block, uint capacity, ref uint size);

        /// <summary>Replaces the first size bytes of the board's ADC configuration block.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetAdcConfig")]
        public static extern uint KorvalSim_SetAdcConfig(IntPtr sim, uint board, [In] byte[] block, uint size);

        /// <summary>A channel's signal (0 to 255, or KORVAL_SIM_ALL_CHANNELS); every channel reads 0 V at first.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetAdcSignal")]
        public static extern uint KorvalSim_SetAdcSignal(IntPtr sim, uint board, uint channel, ref KorvalSimAdcSignal signal);

        /// <summary>Samples per second of simulated time (a read waits until its samples have been taken); 0, the default: as fast as they are read.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetAdcRate")]
        public static extern uint KorvalSim_SetAdcRate(IntPtr sim, uint board, double samples_per_second);

        /// <summary>Counts sent instead of converted signals, repeated in order (size 0 goes back to the signals): a source that costs the board next to nothing.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetAdcPattern")]
        public static extern uint KorvalSim_SetAdcPattern(IntPtr sim, uint board, ref ushort counts, uint size);

        /// <summary>Fires the external trigger: starts a conversion that waits for its start.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_AdcTrigger")]
        public static extern uint KorvalSim_AdcTrigger(IntPtr sim, uint board);

        /// <summary>stopped != 0: the converter sends nothing more until told to go on (reads wait).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetAdcStopped")]
        public static extern uint KorvalSim_SetAdcStopped(IntPtr sim, uint board, int stopped);

        /// <summary>The voltage the low reference reads (0 V by default), standing for the converter's offset error.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetAdcLowReference")]
        public static extern uint KorvalSim_SetAdcLowReference(IntPtr sim, uint board, double volts);

        /// <summary>The byte the board answers the calibration query (0xBA) with: 0xBB (it takes a table) by default.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetAdcCalQueryReply")]
        public static extern uint KorvalSim_SetAdcCalQueryReply(IntPtr sim, uint board, byte reply);

        /// <summary>The converter's state: samples announced and sent, start requests, triggers.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetAdcState")]
        public static extern uint KorvalSim_GetAdcState(IntPtr sim, uint board, ref KorvalSimAdcState state);

        /// <summary>The board's calibration tables, 65,536 entries each: one for the bipolar ranges (bipolar != 0) and one for the unipolar ranges.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetAdcCalTable")]
        public static extern uint KorvalSim_GetAdcCalTable(IntPtr sim, uint board, int bipolar, [In, Out] ushort[] table, uint count);

        /// <summary>The fast-scan setting (request 0xD4, wValue 0x1E): *on is the byte last received (0 at power-on), switches the number of such requests (either pointer may be NULL).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetAdcFastScan")]
        public static extern uint KorvalSim_GetAdcFastScan(IntPtr sim, uint board, ref uint on, ref uint switches);

        /// <summary>A counter's state now, without disturbing counts or statuses latched for reading.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetCounter")]
        public static extern uint KorvalSim_GetCounter(IntPtr sim, uint board, uint counter, ref KorvalSimCounter state);

        /// <summary>Drives a counter's gate input at the present simulated time (rising edges trigger modes 1 and 5 and restart modes 2 and 3; a low gate stops modes 0, 2, 3 and 4).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetCounterGate")]
        public static extern uint KorvalSim_SetCounterGate(IntPtr sim, uint board, uint counter, int level);

        /// <summary>A counter's clock: KORVAL_SIM_CLOCK_ROOT, or KORVAL_SIM_CLOCK_CASCADE for counters 1 and 2 of a block.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetCounterClock")]
        public static extern uint KorvalSim_SetCounterClock(IntPtr sim, uint board, uint counter, uint source);

        /// <summary>The gate selected last (a flat counter number), or KORVAL_SIM_NO_GATE; boards without selectable gates never have one.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetSelectedGate")]
        public static extern uint KorvalSim_GetSelectedGate(IntPtr sim, uint board, ref uint gate);

        /// <summary>Automap, PWM, latches and debounce of digital boards, kept as the board received them.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetAutomap")]
        public static extern uint KorvalSim_GetAutomap(IntPtr sim, uint board, byte[] table, uint capacity, ref uint size, ref byte divisor);

        /// <summary>The PWM settings the board holds.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetPwm")]
        public static extern uint KorvalSim_GetPwm(IntPtr sim, uint board, byte[] settings, uint capacity, ref uint size);

        /// <summary>The three latch groups (group 0, 1, 2; one byte per port each: size = 3 x ports).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetLatches")]
        public static extern uint KorvalSim_SetLatches(IntPtr sim, uint board, byte[] groups, uint size);

        /// <summary>The three latch groups the board holds, and its latch divisor.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetLatches")]
        public static extern uint KorvalSim_GetLatches(IntPtr sim, uint board, byte[] groups, uint capacity, ref byte divisor);

        /// <summary>The debounce configuration the board holds.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetDebounceConfig")]
        public static extern uint KorvalSim_GetDebounceConfig(IntPtr sim, uint board, byte[] config, uint capacity, ref uint size);

        /// <summary>The debounced state the board reports, one byte per port (size = ports); 0xFF each until set.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetDebouncedInputs")]
        public static extern uint KorvalSim_SetDebouncedInputs(IntPtr sim, uint board, byte[] state, uint size);

        /// <summary>The frequency a counter's output runs at now, in hertz: a counter in mode 2 or 3 with a count of 2 or more and its gate high divides its clock (the root clock, or the previous counter's output); any other counter gives 0.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetCounterFrequency")]
        public static extern uint KorvalSim_GetCounterFrequency(IntPtr sim, uint board, uint counter, ref double hz);

        /// <summary>Drives a counter's gate with a pulse train from the present simulated time: low for low_ns, then high for high_ns, over and over (each at least 1,000 ns).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetGatePulseTrain")]
        public static extern uint KorvalSim_SetGatePulseTrain(IntPtr sim, uint board, uint counter, ulong high_ns, ulong low_ns);

        /// <summary>The board's gate-wait state: gates watched, reports waiting, events.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetGateWaits")]
        public static extern uint KorvalSim_GetGateWaits(IntPtr sim, uint board, ref KorvalSimGateWaits waits);

        /// <summary>The global tick value the board was last sent (request 0x3C, wIndex 0x8001: 0xFFFF - T for a tick of T periods of 12 MHz), and how often.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetGlobalTick")]
        public static extern uint KorvalSim_GetGlobalTick(IntPtr sim, uint board, ref uint value, ref uint requests);

        /// <summary>The board's digital stream: direction, clocks and point counts.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetDigitalStream")]
        public static extern uint KorvalSim_GetDigitalStream(IntPtr sim, uint board, ref KorvalSimDigitalStream state);

        /// <summary>The points the board streams to the host, sent in order and over and over; count 0 goes back to the count from 0.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetDigitalStreamInput")]
        public static extern uint KorvalSim_SetDigitalStreamInput(IntPtr sim, uint board, [In] ushort[] points, uint count);

        /// <summary>Takes up to `capacity` of the oldest points the board has put out; *count gets the number taken.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_ReadDigitalStreamOutput")]
        public static extern uint KorvalSim_ReadDigitalStreamOutput(IntPtr sim, uint board, [In, Out] ushort[] points, uint capacity, ref uint count);

        /// <summary>The immediate analog outputs as the board holds them: the last count put out on each channel (0 at power-on).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetDacValues")]
        public static extern uint KorvalSim_GetDacValues(IntPtr sim, uint board, [In, Out] ushort[] values, ref uint count);

        /// <summary>The output range code last selected (0 at power-on); 50 for a board without range selection.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetDacRange")]
        public static extern uint KorvalSim_GetDacRange(IntPtr sim, uint board, ref uint range);

        /// <summary>How often the board was told that a channel's calibration table was cleared (request 0xF0); the tables themselves are in the flash (KorvalSim_FlashRead).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetDacCalResets")]
        public static extern uint KorvalSim_GetDacCalResets(IntPtr sim, uint board, uint channel, ref uint count);

        /// <summary>The registers of the devices on the SPI bus of a board that has one (50 otherwise): 256 devices of 256 byte registers, 0 until written.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetSpiRegister")]
        public static extern uint KorvalSim_GetSpiRegister(IntPtr sim, uint board, uint address, uint reg, ref byte value);

        /// <summary>Sets a register of a device on the SPI bus.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetSpiRegister")]
        public static extern uint KorvalSim_SetSpiRegister(IntPtr sim, uint board, uint address, uint reg, byte value);

        /// <summary>50 for a board without the sync generator.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetSync")]
        public static extern uint KorvalSim_GetSync(IntPtr sim, uint board, ref KorvalSimSync sync);

        /// <summary>Input debouncing on a board that has it (50 otherwise): the debounce count last set (0 at power-on), and the debounce data the board answers with, 2 bytes per digital port (0 at power-on; `size` must be exactly that).</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetDebounceCounts")]
        public static extern uint KorvalSim_GetDebounceCounts(IntPtr sim, uint board, ref uint counts);

        /// <summary>The debounce data the board answers with, 2 bytes per port.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetDebounceData")]
        public static extern uint KorvalSim_SetDebounceData(IntPtr sim, uint board, byte[] data, uint size);

        /// <summary>The waveform player's state: rate divisor, points, underruns, buffer.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetDacStream")]
        public static extern uint KorvalSim_GetDacStream(IntPtr sim, uint board, ref KorvalSimDacStream state);

        /// <summary>The codes a channel put out, one per point, from the `first` on (the first 1,048,576 are kept). count: in, the room in codes; out, the codes copied.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_GetDacPlayed")]
        public static extern uint KorvalSim_GetDacPlayed(IntPtr sim, uint board, uint channel, uint first, [In, Out] ushort[] codes, ref uint count);

        /// <summary>The size of the board's sample buffer in bytes; 0 makes a board that takes no more data.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_SetDacStreamBuffer")]
        public static extern uint KorvalSim_SetDacStreamBuffer(IntPtr sim, uint board, uint bytes);

        /// <summary>The board unplugs itself just before its `transfer`-th transfer from now (1: the next one; control, bulk, descriptor and pipe queries all count), which then fails as on an unplugged board.</summary>
        [DllImport(Library, EntryPoint = "KorvalSim_UnplugBeforeTransfer")]
        public static extern uint KorvalSim_UnplugBeforeTransfer(IntPtr sim, uint board, uint transfer);
    }
}
