// What the protocol helpers (SmartcardT0/T1/Raw Request and Reply) share: the
// application's command behind its SCARD_IO_REQUEST, the library's request and reply
// buffers as the driver hands them over, and the answer written back to the application.
#pragma once

#include <smclib.h>

#include "iso7816/bytes.h"

namespace hosted::smclib {

// The command behind the SCARD_IO_REQUEST in IoRequest.RequestBuffer (cbPciLength bytes
// of header). STATUS_BUFFER_TOO_SMALL when the request is shorter than its header,
// STATUS_INVALID_PARAMETER when cbPciLength is below the structure or beyond the request.
NTSTATUS ReadUserCommand(PSMARTCARD_EXTENSION extension, iso7816::ByteView* command);

// The exchange buffers exist (SmartcardInitialize ran and SmartcardExit did not):
// else STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS CheckLibraryBuffers(PSMARTCARD_EXTENSION extension);

// Appends `bytes` to SmartcardRequest behind the BufferLength the driver set (its header);
// STATUS_BUFFER_OVERFLOW when they do not fit in BufferSize.
NTSTATUS AppendToRequest(PSMARTCARD_EXTENSION extension, iso7816::ByteView bytes, const char* routine);

// The card's answer the driver left in SmartcardReply. A BufferLength beyond BufferSize is
// the driver's overrun: reported, and the answer cut to the buffer.
iso7816::ByteView CardAnswer(PSMARTCARD_EXTENSION extension, const char* routine);

// Writes SCARD_IO_REQUEST {Protocol.Selected, 8} and `data` to IoRequest.ReplyBuffer and
// sets the byte count; STATUS_BUFFER_TOO_SMALL (nothing written, count 0) when they do not
// fit in ReplyBufferLength.
NTSTATUS ReplyToUser(PSMARTCARD_EXTENSION extension, iso7816::ByteView data);

// Stores `count` in the ULONG IoRequest.Information points to, when it points anywhere.
void SetInformation(PSMARTCARD_EXTENSION extension, ULONG count);

}  // namespace hosted::smclib
