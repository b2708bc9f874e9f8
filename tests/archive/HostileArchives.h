// The generator of hostile archives: each one with the destination it is
// extracted into (links placed there beforehand) and what quern x, t and l
// must make of it. Names are stored with "\" between components.
#pragma once

#include <string>
#include <vector>

#include "tests/archive/ArchiveFixture.h"

namespace archive_fixture {

struct HostileArchive {
    std::string what;
    Bytes bytes;
    std::vector<std::string> fileLinks;  // names in the destination linking to a file outside it
    std::vector<std::string> dirLinks;   // names in the destination linking to a directory outside it
    int x, t, l;                         // exit statuses of quern x, t and l
    std::vector<std::string> written;    // the regular files the destination holds afterwards, "/" between components
};

inline Entry Plain(const std::string& name, const std::string& text) {
    const Bytes data = Text(text);
    return {.name = name, .data = data, .checksum = ByteSum(data)};
}

inline Bytes Cut(Bytes bytes, size_t keep) {
    bytes.resize(keep);
    return bytes;
}

inline Bytes Joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::vector<HostileArchive> HostileArchives() {
    std::vector<HostileArchive> all;
    const Bytes ab = MakeArchive({Plain("a", "alpha"), Plain("b", "beta")});
    const Bytes abc = MakeArchive({Plain("a", "alpha"), Plain("b", "beta"), Plain("c", "gamma")});
    const size_t third = ab.size();  // where c's header starts in abc

    all.push_back({"a file link in the destination", MakeArchive({Plain("link", "overwritten")}), {"link"}, {}, 1, 0, 0, {}});
    all.push_back({"a directory link in the destination", MakeArchive({Plain("dirlink\\planted", "planted")}), {}, {"dirlink"}, 1, 0, 0, {}});
    all.push_back({"a directory link below a directory of the archive",
                   MakeArchive({Plain("fine", "f"), Plain("dirlink\\deeper\\planted", "planted")}), {}, {"dirlink"}, 1, 0, 0, {"fine"}});

    // Eight bytes declaring 2 GB, for each built-in method: nothing pays for
    // the output, so every one fails at once and writes nothing.
    const uint8_t methods[] = {ctNone, ctRle, ctLzh, ctLh5};
    for (uint8_t type : methods)
        all.push_back({std::string("8 bytes declaring 2 GB, method ") + MethodIDs[type],
                       MakeArchive({{.name = "huge", .data = Text("\x12\x34\x56\x78\x9a\xbc\xde\xf0"), .type = type,
                                     .uncompressedSize = 2147483632}}),
                       {}, {}, 1, 1, 0, {}});

    all.push_back({"a header cut short", Cut(ab, ArchiveHeaderSize + 10), {}, {}, 1, 1, 1, {}});
    all.push_back({"a name cut short", MakeArchive({{.name = "ab", .data = Text("xy"), .nameLength = 200}}), {}, {}, 1, 1, 1, {}});
    all.push_back({"cut inside the third header", Cut(abc, third + 12), {}, {}, 1, 1, 1, {}});
    all.push_back({"data cut short", Cut(ab, ab.size() - 1), {}, {}, 1, 1, 1, {}});
    all.push_back({"cut after a whole entry, short of the total size", Cut(abc, third), {}, {}, 1, 1, 1, {}});
    all.push_back({"20 bytes", Cut(ab, 20), {}, {}, 1, 1, 1, {}});
    Bytes foreign = ab;
    foreign[0] = 'P';
    all.push_back({"a wrong signature", foreign, {}, {}, 1, 1, 1, {}});

    all.push_back({"a NUL in a name", MakeArchive({Plain(std::string("victim.txt\0.jpg", 15), "v"), Plain("fine", "f")}),
                   {}, {}, 1, 0, 0, {"fine"}});
    all.push_back({"a control character in a name", MakeArchive({Plain("bell\a", "v"), Plain("fine", "f")}), {}, {}, 1, 0, 0, {"fine"}});
    all.push_back({"names Windows reads as \"..\" or with an empty component",
                   MakeArchive({Plain(".. \\x.txt", "1"), Plain("a\\\\b.txt", "2"), Plain("e\\...\\f.txt", "3"), Plain("ok", "ok")}),
                   {}, {}, 1, 0, 0, {"ok"}});

    all.push_back({"0xFF bytes after a complete archive", Joined(ab, Bytes(40, 0xFF)), {}, {}, 0, 0, 0, {"a", "b"}});
    all.push_back({"zero bytes after a complete archive", Joined(ab, Bytes(40, 0)), {}, {}, 0, 0, 0, {"a", "b"}});
    all.push_back({"another archive's entry after a complete archive",
                   Joined(ab, EntryBytes(Plain("stray", "stray"))), {}, {}, 0, 0, 0, {"a", "b"}});
    all.push_back({"an empty last file after the total size is reached",
                   MakeArchive({Plain("a", "alpha"), Plain("empty", "")}), {}, {}, 0, 0, 0, {"a", "empty"}});

    Entry damaged = Plain("b", "beta");
    damaged.data = Text("bet@");
    all.push_back({"a damaged stored file", MakeArchive({Plain("a", "alpha"), damaged}), {}, {}, 1, 1, 0, {"a"}});
    all.push_back({"a stored file declaring more than it holds",
                   MakeArchive({{.name = "s", .data = Text("12345678"), .uncompressedSize = 16}}), {}, {}, 1, 1, 0, {}});
    return all;
}

}  // namespace archive_fixture
