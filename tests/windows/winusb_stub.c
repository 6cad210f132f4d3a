/* A WinUSB.dll of our own, for checking that the library binds WinUSB by name: it exports the entry
   points the library looks up and answers each with values a test can recognise. Built twice: as
   WinUSB.dll with every entry point, and as winusb_partial.dll without WinUsb_QueryPipe and
   WinUsb_AbortPipe (KORVAL_STUB_PARTIAL). */
#include <string.h>
#include <windows.h>

#define STUB __declspec(dllexport) BOOL WINAPI

/* The interface handle is the file handle plus this, so a test sees its handle came back through. */
#define STUB_INTERFACE_OFFSET 0x5000u

STUB WinUsb_Initialize(HANDLE file, void **interface_handle)
{
    *interface_handle = (void *)((UINT_PTR)file + STUB_INTERFACE_OFFSET);
    return TRUE;
}

STUB WinUsb_Free(void *interface_handle)
{
    (void)interface_handle;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

/* The setup packet, as received, is the data. */
STUB WinUsb_ControlTransfer(void *interface_handle, UINT64 setup, UCHAR *buffer, ULONG length, ULONG *transferred,
                            OVERLAPPED *overlapped)
{
    (void)interface_handle;
    if (overlapped != NULL) return FALSE;
    *transferred = length < 8 ? length : 8;
    memcpy(buffer, &setup, *transferred);
    return TRUE;
}

/* A device descriptor whose product ID is the language ID and whose vendor ID is type and index. */
STUB WinUsb_GetDescriptor(void *interface_handle, UCHAR type, UCHAR index, USHORT language, UCHAR *buffer, ULONG length,
                          ULONG *transferred)
{
    UCHAR descriptor[18] = {18, 1};
    (void)interface_handle;
    descriptor[8] = type;
    descriptor[9] = index;
    descriptor[10] = (UCHAR)language;
    descriptor[11] = (UCHAR)(language >> 8);
    *transferred = length < 18 ? length : 18;
    memcpy(buffer, descriptor, *transferred);
    return TRUE;
}

typedef struct {
    UCHAR bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints;
    UCHAR bInterfaceClass, bInterfaceSubClass, bInterfaceProtocol, iInterface;
} InterfaceDescriptor;

STUB WinUsb_QueryInterfaceSettings(void *interface_handle, UCHAR alternate, InterfaceDescriptor *descriptor)
{
    (void)interface_handle;
    memset(descriptor, 0, sizeof *descriptor);
    descriptor->bNumEndpoints = (UCHAR)(3 + alternate);
    return TRUE;
}

#ifndef KORVAL_STUB_PARTIAL
typedef struct {
    int PipeType;
    UCHAR PipeId;
    USHORT MaximumPacketSize;
    UCHAR Interval;
} PipeInformation;

/* Pipe n is bulk (2), endpoint 0x80 + n. */
STUB WinUsb_QueryPipe(void *interface_handle, UCHAR alternate, UCHAR index, PipeInformation *pipe)
{
    (void)interface_handle;
    (void)alternate;
    pipe->PipeType = 2;
    pipe->PipeId = (UCHAR)(0x80 + index);
    pipe->MaximumPacketSize = 512;
    pipe->Interval = 0;
    return TRUE;
}

STUB WinUsb_AbortPipe(void *interface_handle, UCHAR pipe)
{
    (void)interface_handle;
    (void)pipe;
    return TRUE;
}
#endif

STUB WinUsb_WritePipe(void *interface_handle, UCHAR pipe, UCHAR *buffer, ULONG length, ULONG *transferred,
                      OVERLAPPED *overlapped)
{
    (void)interface_handle;
    (void)pipe;
    (void)buffer;
    if (overlapped != NULL) return FALSE;
    *transferred = length / 2;
    return TRUE;
}

/* Fills the buffer with the pipe ID. */
STUB WinUsb_ReadPipe(void *interface_handle, UCHAR pipe, UCHAR *buffer, ULONG length, ULONG *transferred,
                     OVERLAPPED *overlapped)
{
    (void)interface_handle;
    if (overlapped != NULL) return FALSE;
    memset(buffer, pipe, length);
    *transferred = length;
    return TRUE;
}
