// Writing a prepared frame straight to a link's port, for commands that must leave the PC
// back to back. Kept in its own unit: the serial component's header and the window's timer
// header both name a type TNotifyEvent, so no unit may include both.
#pragma once

#include "decoder_link/SFormCOM_TestConnessione.h"
#include "util/ByteString.h"

namespace sincrovia {

/// Hands `bytes` to the port of `link` (the link logs nothing; the caller logs afterwards).
void WriteToLinkPort(TTest& link, const ByteString& bytes);

}  // namespace sincrovia
