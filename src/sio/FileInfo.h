#pragma once
// What the file system says about a path, for the checks made before files are opened.

namespace velmora::sio {

// True when `path` names a directory.
bool isDirectory(const char* path);

// True when both paths name the same regular file, however they are written (relative or
// absolute, through links), or when neither exists yet and the paths are equal. Devices such as
// /dev/null are never the same file, so several outputs may go there.
bool sameFile(const char* a, const char* b);

}  // namespace velmora::sio
