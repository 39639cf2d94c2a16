// What the files of platform/ share among themselves and nobody else
// includes: the one call each backend gives the common files, and the
// helpers the common files give the backends.
#pragma once

#include <cstdio>
#include <string>

namespace tov {

// ---- Given by each backend ---------------------------------------------------

// Opens the file at a Windows path for the C library's stream calls, in
// binary: for reading, or with forWriting created or emptied for writing.
// Windows: _wfopen on the long-path form. POSIX: fopen on the stand-in's
// host path (writing only on a drive, reading also from a host path). Null
// when it cannot be opened.
FILE* OpenFileStream(const std::wstring& path, bool forWriting);

// ---- Given by platform/common --------------------------------------------------

// Appends what is left of the stream to *out, then closes it.
void ReadStreamToEnd(FILE* f, std::string* out);

// Writes all bytes to the stream and closes it; true when every byte was
// written and the close succeeded.
bool WriteStreamAndClose(FILE* f, const std::string& bytes);

// An IPv4 address in dotted form from its four bytes in network order
// ("127.0.0.1"), written without the system's formatter, which is not
// thread-safe on every system.
std::string DottedQuad(const unsigned char bytes[4]);

}  // namespace tov
