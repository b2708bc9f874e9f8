// TQuern, the archive component: settings, events, listing and expansion of
// "ZMAR" archives (layout in ArchiveFormat.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <quern/ArchiveFormat.h>
#include <quern/Errors.h>
#include <quern/CodecEngine.h>
#include <quern/Component.h>
#include <quern/Stream.h>
#include <quern/StringList.h>

namespace quern {

// What the component is doing when it asks a file-name-check handler.
enum TCProcessMode { cpNone = 0, cpExpand = 1 };

using TFilenameCheckEvent = std::function<void(std::string& filepath, TCProcessMode mode)>;
using TOnCompressEvent = std::function<void(TStream& dest, TStream& source, std::string& CompressID,
                                            int32_t& Outputsize, int32_t& checksum)>;
using TExpandEvent = std::function<void(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize,
                                        const std::string& CompressID, int32_t& checksum)>;
// TRecognizeEvent is declared with the header routines; TShowProgressEvent with the codec engine.

class TQuern;

// Decodes entries of an expansion ahead of its walk, for instance on other
// threads (archive/ParallelExpand.h); the walk still raises every event.
class TEntryDecoder {
public:
    virtual ~TEntryDecoder() = default;
    // Does for the entry whose file header lies at headerOffset what
    // quern.ExpandEntry does, with the same outcome; false when it does not
    // have that entry, and the caller decodes it.
    virtual bool Expand(TQuern& quern, int64_t headerOffset, TStream& dest, TStream& source) = 0;
};

// One entry of a listing; the list does not own it (see FreeListing).
class TArchiveFileInfo : public TObject {
public:
    uint32_t FileDate = 0;
    uint16_t FileAttr = 0;
    int32_t UncompressedSize = 0;
    int32_t CompressedSize = 0;
    uint8_t CompressionType = 0;
    uint32_t Checksum = 0;
    int32_t HeaderOffset = 0;  // position of the entry's 25-byte file header
    bool Locked = false;
};

class TQuern : public TComponent {
public:
    using TComponent::TComponent;

    TOnCompressEvent OnCompress;  // held only; nothing here raises it
    TExpandEvent OnExpand;        // decodes entries of type 3
    TRecognizeEvent OnRecognize;  // may accept a method ID outside the table
    TFilenameCheckEvent OnCheckFile;
    TShowProgressEvent OnShowProgress;
    bool MakeDirectories = false;
    int32_t Key = 0;
    bool ExceptionOnFileError = false;
    bool CheckSpaceBeforeExpand = false;
    int32_t CompressReserve = 0;  // read by the codec engine when compressing
    TEntryDecoder* EntryDecoder = nullptr;  // not owned; none: each entry is decoded in turn

    const std::string& TargetPath() const { return targetPath_; }
    // A non-empty path gets a final path delimiter when it lacks one.
    void SetTargetPath(const std::string& path);

    // Appends one item per entry (stored name, TArchiveFileInfo) to list.
    void ListArchiveFile(const std::string& fileName, TStringList& list);
    void ListArchiveStream(TStream& stream, TStringList& list);
    // Frees every item's object and clears the list; nothing when list is null.
    static void FreeListing(TStringList* list);

    // Expands the entries (only those named in fileList, when given); on
    // success fileList is replaced by the target paths written, in order.
    void ExpandArchiveFile(const std::string& fileName, TStringList* fileList = nullptr);
    void ExpandArchiveStream(TStream& stream, TStringList* fileList = nullptr);

    // Decodes one entry's data from source (positioned at it) into dest and
    // checks key and checksum. Always leaves source Sourcesize bytes past the
    // data start, whatever the codec or handler consumed, unless it fails.
    void ExpandEntry(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, uint32_t Checksum,
                     uint8_t CompressionType, const std::string& CompressID, int32_t LockFlag);

    // ExpandEntry for the walk's current entry, through EntryDecoder when it
    // has that entry. Inline: the setup stub, which has none, keeps one test.
    void ExpandWalkEntry(TStream& dest, TStream& source, const TArchiveWalk& walk) {
        if (EntryDecoder && EntryDecoder->Expand(*this, walk.HeaderOffset, dest, source)) return;
        const TFileHeader& fh = walk.Entry;
        ExpandEntry(dest, source, fh.CompressedSize, fh.UncompressedSize, fh.Checksum, fh.CompressionType,
                    walk.CompressID, fh.LockFlag);
    }

    // The codec dispatcher with this component's Key, CompressReserve and
    // OnShowProgress.
    int32_t RunCodec(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, uint8_t method,
                     uint32_t& checksum, bool Expanding, bool Scrambled);

    // Free bytes where targetPath lies, capped at 2147483647, plus the size of
    // an existing target; 2147483647 when CheckSpaceBeforeExpand is false.
    // The expansion itself gives no such credit: it writes each file beside
    // the one it replaces.
    int32_t FreeSpaceFor(const std::string& targetPath);
    // Creates a directory and its missing parents; EInOutError on failure.
    static void ForceDirectoryPath(const std::string& path);

    // True for the types this component can decode: 0, 1, 2, 4, and 3 when
    // OnExpand is assigned. Other entries are passed over by the expansion.
    bool CanExpandType(uint8_t type) const;

private:
    int32_t FreeSpace(const std::string& targetPath, bool creditExisting);
    std::string targetPath_;
};

}  // namespace quern
