// Temporary names, the path helper and (with the archive component) the
// extraction of single files from the temporary archive.
#pragma once

#include <string>

// The path with one trailing path delimiter ensured; "" gives the delimiter alone.
std::string AddBackslash(const std::string& path);

// The directory part of a path: up to and including its last delimiter (or
// ":" on Windows); "" when there is none.
std::string ExtractFilePath(const std::string& path);

// ChangeFileExt: the text from the last "." after the last delimiter is
// replaced by `extension`; without such a "." the extension is appended.
std::string ChangeFileExt(const std::string& path, const std::string& extension);

// A new, empty, uniquely named "QNV" file in a fresh directory of its own
// inside the platform's temporary directory, writable only by this user (a
// shared temporary directory would let others plant or swap files beside the
// wizard we run). Raises EPlatformError when the platform's services fail.
std::string NewTempFileName();

// Deletes the file, then its directory when that is now empty. Failures are ignored.
void DeleteTempFileAndDirectory(const std::string& path);
