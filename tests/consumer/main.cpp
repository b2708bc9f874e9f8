// quern_consumer ARCHIVE DIR: lists ARCHIVE's entries (name and size, one a
// line) and extracts them into DIR, through the installed component only.
#include <cstdio>

#include <quern/Quern.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quern_consumer ARCHIVE DIR\n");
        return 2;
    }
    try {
        quern::TQuern archive;
        quern::TStringList list;
        archive.ListArchiveFile(argv[1], list);
        for (int i = 0; i < list.Count(); ++i) {
            const auto* info = static_cast<const quern::TArchiveFileInfo*>(list.Objects(i));
            std::printf("%s %d\n", list.Strings(i).c_str(), info->UncompressedSize);
        }
        quern::TQuern::FreeListing(&list);

        archive.MakeDirectories = true;
        archive.SetTargetPath(argv[2]);
        archive.ExpandArchiveFile(argv[1]);
    } catch (const quern::Exception& e) {
        std::fprintf(stderr, "quern_consumer: %s\n", e.Message.c_str());
        return 1;
    }
    return 0;
}
