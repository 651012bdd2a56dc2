// The version resource reader, table-driven over blocks made by a small builder: a well-formed tree and
// the same tree broken in one place each. Every call gets a heap copy of exactly `size` bytes at an odd
// address and an output with a guard unit after `capacity`, so a read past the block (under ASan) or a
// write past the output shows. Under Wine, one more row reads this program's own resource, compiled from
// tests/install/test_version.rc, through FindResource and LoadResource.
#include "install/version_resource.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;

// One node of a block, and the faults a row may put into it.
struct Node {
    std::u16string key;
    std::uint16_t type = 0;
    Bytes value;
    std::vector<Node> children;
    int lengthChange = 0;       // added to the true wLength
    int valueLength = -1;       // wValueLength when not -1, else the true one
    bool keyTerminated = true;  // false: the key's terminator is left out
};

void putWord(Bytes* bytes, std::size_t at, unsigned value) {
    (*bytes)[at] = static_cast<std::uint8_t>(value);
    (*bytes)[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void pad(Bytes* bytes) {
    while (bytes->size() % 4 != 0) {
        bytes->push_back(0);
    }
}

// The node's bytes, without the padding after it.
Bytes encode(const Node& node) {
    Bytes bytes(6, 0);
    for (char16_t unit : node.key) {
        bytes.push_back(static_cast<std::uint8_t>(unit));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    if (node.keyTerminated) {
        bytes.insert(bytes.end(), 2, 0);
    }
    pad(&bytes);
    bytes.insert(bytes.end(), node.value.begin(), node.value.end());
    for (const Node& child : node.children) {
        pad(&bytes);
        const Bytes encoded = encode(child);
        bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
    const std::size_t valueLength = node.type == 1 ? node.value.size() / 2 : node.value.size();
    putWord(&bytes, 0, static_cast<unsigned>(static_cast<int>(bytes.size()) + node.lengthChange));
    putWord(&bytes, 2, node.valueLength >= 0 ? static_cast<unsigned>(node.valueLength) : valueLength);
    putWord(&bytes, 4, node.type);
    return bytes;
}

Bytes text(const std::u16string& units) {
    Bytes bytes;
    for (char16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

// A VS_FIXEDFILEINFO: signature, structure version 1.0, file version 9.9.9.9, the product version given.
Bytes fixedInfo(std::uint32_t productHigh, std::uint32_t productLow, std::uint32_t signature = 0xFEEF04BD) {
    Bytes bytes(52, 0);
    const std::uint32_t fields[6] = {signature, 0x00010000, 0x00090009, 0x00090009, productHigh, productLow};
    for (int i = 0; i < 6; ++i) {
        putWord(&bytes, 4 * i, fields[i] & 0xFFFF);
        putWord(&bytes, 4 * i + 2, fields[i] >> 16);
    }
    return bytes;
}

Node entry(const std::u16string& key, const std::u16string& value) {
    return Node{key, 1, text(value + u'\0'), {}};
}

// Product version 4.3.2.1; one string table with CompanyName and ProductName; VarFileInfo after it.
Node wellFormed() {
    Node table{u"040904b0", 1, {}, {entry(u"CompanyName", u"Orvanta"), entry(u"ProductName", u"Welkara")}};
    Node strings{u"StringFileInfo", 1, {}, {table}};
    Node translation{u"Translation", 0, {0x09, 0x04, 0xB0, 0x04}, {}};
    Node variables{u"VarFileInfo", 1, {}, {translation}};
    return Node{u"VS_VERSION_INFO", 0, fixedInfo(0x00040003, 0x00020001), {strings, variables}};
}

Node& table(Node& root) {
    return root.children[0].children[0];
}

// A tree of `levels` nodes, each the only child of the one above it, under a well-formed root.
Node nested(int levels) {
    Node root = wellFormed();
    Node inner{u"x", 1, {}, {}};
    for (int i = 1; i < levels; ++i) {
        inner = Node{u"x", 1, {}, {inner}};
    }
    root.children.push_back(inner);
    return root;
}

template <class Change>
Bytes encodeWith(Change change) {
    Node root = wellFormed();
    change(root);
    return encode(root);
}

// The well-formed block with `count` zero bytes more inside its root, after its last child.
Bytes withTail(std::size_t count) {
    Bytes bytes = encode(wellFormed());
    bytes.insert(bytes.end(), count, 0);
    putWord(&bytes, 0, static_cast<unsigned>(bytes.size()));
    return bytes;
}

struct Answer {
    bool found;
    std::u16string text;
};

// Calls `read(block, size, out, capacity)` on an exact heap copy of `bytes` (cut to `size`) at an odd
// address, with a guard unit after `capacity`.
template <class Read>
Answer readFrom(const Bytes& bytes, std::size_t size, std::size_t capacity, Read read) {
    std::unique_ptr<std::uint8_t[]> store(new std::uint8_t[size + 1]);
    std::uint8_t* block = store.get() + 1;
    if (size != 0) {
        std::memcpy(block, bytes.data(), size);
    }
    std::vector<char16_t> out(capacity + 1, u'#');
    const bool found = read(block, size, out.data(), capacity);
    EXPECT_EQ(out[capacity], u'#') << "written past capacity";
    if (!found && capacity != 0) {
        EXPECT_EQ(out[0], 0) << "a refusal leaves an empty text";
    }
    return Answer{found, found ? std::u16string(out.data()) : u""};
}

std::string narrow(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

struct VersionCase {
    const char* what;
    Bytes block;
    std::size_t capacity;
    bool found;
    std::u16string text;
};

TEST(VersionResource, ProductVersionComesFromTheFixedInformationOfAnUnbrokenBlock) {
    Bytes padded = encode(wellFormed());
    padded.insert(padded.end(), 8, 0);  // a resource's size may run past the root
    const VersionCase cases[] = {
        {"well-formed", encode(wellFormed()), 32, true, u"4.3.2.1"},
        {"block longer than its root", padded, 32, true, u"4.3.2.1"},
        {"largest parts", encodeWith([](Node& r) { r.value = fixedInfo(0xFFFFFFFF, 0xFFFFFFFF); }), 24, true,
         u"65535.65535.65535.65535"},
        {"text one unit too long", encodeWith([](Node& r) { r.value = fixedInfo(0xFFFFFFFF, 0xFFFFFFFF); }),
         23, false, u""},
        {"no room at all", encode(wellFormed()), 0, false, u""},
        {"zeros and tens", encodeWith([](Node& r) { r.value = fixedInfo(0x0000000A, 0x00640000); }), 32, true,
         u"0.10.100.0"},
        {"no fixed information", encodeWith([](Node& r) { r.value.clear(); }), 32, false, u""},
        {"fixed information cut short", encodeWith([](Node& r) { r.value.resize(48); }), 32, false, u""},
        {"wrong signature",
         encodeWith([](Node& r) { r.value = fixedInfo(0x00040003, 0x00020001, 0xFEEF04BC); }), 32, false,
         u""},
        {"root key not VS_VERSION_INFO", encodeWith([](Node& r) { r.key = u"VS_VERSION_INFX"; }), 32, false,
         u""},
        {"root longer than the block", encodeWith([](Node& r) { r.lengthChange = 4; }), 32, false, u""},
        {"root shorter than its header",
         encodeWith([](Node& r) { r.lengthChange = -int(encode(r).size()) + 4; }), 32, false, u""},
        {"child longer than its parent", encodeWith([](Node& r) { r.children[1].lengthChange = 2; }), 32,
         false, u""},
        {"grandchild longer than its parent",
         encodeWith([](Node& r) { table(r).children[1].lengthChange = 8; }), 32, false, u""},
        {"key without terminator",
         encodeWith([](Node& r) { r.children[1].children[0].keyTerminated = false; }), 32, false, u""},
        {"key without terminator, nothing after it", encodeWith([](Node& r) {
             table(r).children[1].keyTerminated = false;
             table(r).children[1].value.clear();
         }),
         32, false, u""},
        {"value past its node", encodeWith([](Node& r) { table(r).children[0].valueLength = 40; }), 32, false,
         u""},
        {"type neither binary nor text", encodeWith([](Node& r) { r.children[1].type = 2; }), 32, false, u""},
        {"four bytes after the last child", withTail(4), 32, false, u""},
        {"a zero node after the last child", withTail(8), 32, false, u""},
        {"16 levels below the root", encode(nested(16)), 32, true, u"4.3.2.1"},
        {"17 levels below the root", encode(nested(17)), 32, false, u""},
    };
    for (const VersionCase& c : cases) {
        const Answer answer = readFrom(c.block, c.block.size(), c.capacity, productVersionText);
        EXPECT_EQ(answer.found, c.found) << c.what;
        EXPECT_EQ(narrow(answer.text), narrow(c.text)) << c.what;
    }
}

struct StringCase {
    const char* what;
    Bytes block;
    std::u16string key;
    std::size_t capacity;
    bool found;
    std::u16string text;
};

TEST(VersionResource, StringComesFromTheFirstStringTable) {
    const auto withCompany = [](Bytes value, int valueLength) {
        return encodeWith([&](Node& r) {
            table(r).children[0].value = value;
            table(r).children[0].valueLength = valueLength;
        });
    };
    const StringCase cases[] = {
        {"well-formed", encode(wellFormed()), u"CompanyName", 32, true, u"Orvanta"},
        {"second entry", encode(wellFormed()), u"ProductName", 32, true, u"Welkara"},
        {"length without terminator", withCompany(text(u"Orvanta"), 7), u"CompanyName", 32, true, u"Orvanta"},
        {"length with terminator", withCompany(text(std::u16string(u"Orvanta\0", 8)), 8), u"CompanyName", 32,
         true, u"Orvanta"},
        {"text stops at a terminator", withCompany(text(std::u16string(u"Orv\0anta", 8)), 8), u"CompanyName",
         32, true, u"Orv"},
        {"empty value", withCompany({}, 0), u"CompanyName", 32, true, u""},
        {"value exactly filling", encode(wellFormed()), u"CompanyName", 8, true, u"Orvanta"},
        {"terminator does not fit", encode(wellFormed()), u"CompanyName", 7, false, u""},
        {"no such key", encode(wellFormed()), u"FileVersion", 32, false, u""},
        {"key a prefix of an entry's", encode(wellFormed()), u"Company", 32, false, u""},
        {"entry's key a prefix of the key", encode(wellFormed()), u"CompanyNameX", 32, false, u""},
        {"key in the second table only", encodeWith([](Node& r) {
             Node first{u"040704b0", 1, {}, {entry(u"ProductName", u"Welkara")}};
             r.children[0].children.insert(r.children[0].children.begin(), first);
         }),
         u"CompanyName", 32, false, u""},
        {"string information after the variables",
         encodeWith([](Node& r) { std::swap(r.children[0], r.children[1]); }), u"CompanyName", 32, true,
         u"Orvanta"},
        {"no string information", encodeWith([](Node& r) { r.children.erase(r.children.begin()); }),
         u"CompanyName", 32, false, u""},
        {"binary entry", encodeWith([](Node& r) { table(r).children[0].type = 0; }), u"CompanyName", 32,
         false, u""},
        {"value past its node", withCompany(text(std::u16string(u"Orvanta\0", 8)), 9), u"CompanyName", 32,
         false, u""},
        {"broken node after the entry", encodeWith([](Node& r) { r.children[1].lengthChange = 2; }),
         u"CompanyName", 32, false, u""},
        {"no fixed information is fine here", encodeWith([](Node& r) { r.value.clear(); }), u"CompanyName",
         32, true, u"Orvanta"},
    };
    for (const StringCase& c : cases) {
        const Answer answer =
            readFrom(c.block, c.block.size(), c.capacity,
                     [&](const std::uint8_t* block, std::size_t size, char16_t* out, std::size_t capacity) {
                         return versionString(block, size, c.key.c_str(), out, capacity);
                     });
        EXPECT_EQ(answer.found, c.found) << c.what;
        EXPECT_EQ(narrow(answer.text), narrow(c.text)) << c.what;
    }
}

// Every block cut short of its root's end is broken, and its reading stays inside the bytes given.
TEST(VersionResource, BlockCutShortIsRefusedAtEverySize) {
    const Bytes block = encode(wellFormed());
    for (std::size_t size = 0; size < block.size(); ++size) {
        EXPECT_FALSE(readFrom(block, size, 32, productVersionText).found) << size;
        EXPECT_FALSE(readFrom(block, size, 32,
                              [](const std::uint8_t* b, std::size_t s, char16_t* out, std::size_t capacity) {
                                  return versionString(b, s, u"CompanyName", out, capacity);
                              })
                         .found)
            << size;
    }
    EXPECT_FALSE(productVersionText(nullptr, 0, nullptr, 0));
}

#ifdef _WIN32
// The resource compiler's block, as the loader hands it over, is read as the .rc file says.
TEST(VersionResource, CompiledResourceOfThisProgramReads) {
    const HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    ASSERT_NE(found, nullptr);
    const HGLOBAL loaded = LoadResource(nullptr, found);
    ASSERT_NE(loaded, nullptr);
    const auto* block = static_cast<const std::uint8_t*>(LockResource(loaded));
    const std::size_t size = SizeofResource(nullptr, found);
    char16_t out[64];
    ASSERT_TRUE(productVersionText(block, size, out, 64));
    EXPECT_EQ(narrow(out), "9.8.7.6");
    ASSERT_TRUE(versionString(block, size, u"CompanyName", out, 64));
    EXPECT_EQ(narrow(out), "Orvanta Test Publisher");
    ASSERT_TRUE(versionString(block, size, u"FileDescription", out, 64));
    EXPECT_EQ(narrow(out), "Reads its own version resource.");
}
#endif

}  // namespace
