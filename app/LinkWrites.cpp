#include "app/LinkWrites.h"

#include "serial/SerialNG.h"

namespace sincrovia {

void WriteToLinkPort(TTest& link, const ByteString& bytes) { link.SerialPort().SendText(bytes); }

}  // namespace sincrovia
