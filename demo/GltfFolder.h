// The files a glTF file names beside itself, read and written as someone who
// opens files that others sent must: only inside the file's own folder.
//
// A uri is a relative reference below the folder (percent escapes decoded
// before anything is judged), never absolute, never through `..`, `.` or an
// empty step, never a scheme other than `data:`. A read follows a symbolic
// link only where it stays inside the folder, opens regular files only (no
// device, FIFO or directory can block or feed it for ever) and reads no more
// than the file declares. A write goes to a temporary file in the destination
// folder and is renamed over the name: never through a symbolic link, never
// a name starting with a dot, never into a folder that was there before.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace alignpartsdemo {

// The largest single file this program reads: a glTF file, a buffer.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t(1) << 30;

// What a uri names, decoded: the steps of a relative path, or the bytes of a
// `data:` uri. `problem` says in words why it cannot be used (empty if it can).
struct ResourceName {
    bool isData = false;
    std::vector<std::string> steps; // a relative path, one folder step at a time
    std::string problem;
    std::string Joined() const;
};
ResourceName ParseUri(const std::string &uri);

// The bytes of a `data:` uri (base64 or percent-encoded); false when it is
// malformed, with `problem` saying how.
bool DecodeDataUri(const std::string &uri, std::string &bytes, std::string &problem);
std::string EncodeBase64(const std::string &bytes);

// Outcome of reading a named file inside a folder.
enum class ReadResult { OK, MISSING, OUTSIDE, NOT_REGULAR, TOO_SHORT, TOO_LARGE, FAILED };

// Reads the first `length` bytes of `name` in `folder` ("" = current folder);
// `size` answers the file's full size where it was found.
ReadResult ReadInside(const std::string &folder, const ResourceName &name, std::uint64_t length,
                      std::string &bytes, std::uint64_t &size);

// Opens `path` (a user's own choice, followed as given) as a regular file and
// reads it whole, at most kMaxFileBytes. Answers an errno-like reason on failure.
enum class OpenResult { OK, MISSING_OR_DENIED, DIRECTORY, NOT_REGULAR, TOO_LARGE };
OpenResult ReadWholeFile(const std::string &path, std::string &bytes, std::string &reason,
                         std::size_t padding);

// Whether two folders are the same one on disk.
bool SameFolder(const std::string &a, const std::string &b);

// The writes of one save into `folder`: every target checked first (Check*),
// then written (Write*), each through a temporary file renamed over its name.
class FolderWriter {
public:
    explicit FolderWriter(std::string folder) : folder_(std::move(folder)) {}
    // Why `name` cannot be written here, or empty. A name of the saved file
    // itself may start with a dot (the user chose it); one the file names may not.
    std::string CheckTarget(const ResourceName &name, bool chosenByUser) const;
    // Writes `bytes` under `name`; false with `reason` on failure.
    bool Write(const ResourceName &name, const std::string &bytes, std::string &reason);
    // Copies a file from inside `fromFolder` to `name` here.
    bool Copy(const std::string &fromFolder, const ResourceName &from, const ResourceName &name,
              std::string &reason);

private:
    int OpenParent(const ResourceName &name, bool create, std::string &reason);
    std::string folder_;
    std::vector<std::string> made_; // folders this save made, relative to folder_
};

} // namespace alignpartsdemo
