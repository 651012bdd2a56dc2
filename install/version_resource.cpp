// The version resource's tree, checked whole and then walked. Every offset is a byte offset from the
// block's start, and every node is read through readNode(), which keeps it inside the node or block
// that holds it; multi-byte fields are put together from single bytes, so no address needs alignment.
#include "install/version_resource.h"

namespace {

constexpr std::size_t kHeaderBytes = 6;      // wLength, wValueLength, wType
constexpr std::size_t kFixedInfoBytes = 52;  // VS_FIXEDFILEINFO
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr int kDeepestLevel = 16;  // the root is level 0; real trees stop at level 3

struct Node {
    std::size_t end = 0;       // just past its last byte (start + wLength)
    std::size_t key = 0;       // its key's first unit
    std::size_t keyUnits = 0;  // without the terminator
    std::size_t value = 0;     // its value's first byte
    std::size_t valueBytes = 0;
    std::size_t valueUnits = 0;  // wValueLength
    std::uint16_t type = 0;
    std::size_t children = 0;  // its first child, or end when it has none
};

std::uint16_t word(const std::uint8_t* block, std::size_t at) {
    return static_cast<std::uint16_t>(block[at] | block[at + 1] << 8);
}

std::uint32_t doubleWord(const std::uint8_t* block, std::size_t at) {
    return static_cast<std::uint32_t>(word(block, at)) | static_cast<std::uint32_t>(word(block, at + 2))
                                                             << 16;
}

std::size_t aligned(std::size_t offset) {
    return (offset + 3) & ~static_cast<std::size_t>(3);
}

// Reads the node at `start`, which must lie wholly before `limit` (its parent's end, or the block's).
// False when it does not, or when it is broken in itself.
bool readNode(const std::uint8_t* block, std::size_t start, std::size_t limit, Node* node) {
    if (start > limit || limit - start < kHeaderBytes) {
        return false;
    }
    const std::size_t length = word(block, start);
    if (length < kHeaderBytes || length > limit - start) {
        return false;
    }
    node->end = start + length;
    node->valueUnits = word(block, start + 2);
    node->type = word(block, start + 4);
    if (node->type > 1) {
        return false;
    }
    node->key = start + kHeaderBytes;
    std::size_t at = node->key;
    while (node->end - at >= 2 && word(block, at) != 0) {
        at += 2;
    }
    if (node->end - at < 2) {
        return false;  // no terminator inside the node
    }
    node->keyUnits = (at - node->key) / 2;
    node->valueBytes = node->type == 1 ? 2 * node->valueUnits : node->valueUnits;
    node->value = aligned(at + 2);
    if (node->valueBytes == 0) {
        // A node without a value may end right after its key, before the padding.
        node->value = node->value < node->end ? node->value : node->end;
    } else if (node->value > node->end || node->valueBytes > node->end - node->value) {
        return false;
    }
    const std::size_t children = aligned(node->value + node->valueBytes);
    node->children = children < node->end ? children : node->end;
    return true;
}

// The next child after one that ends at `end`, inside a parent that ends at `parentEnd`: the padding to a
// 4-byte boundary is skipped, and a boundary at or past the parent's end means there is none.
bool nextChild(std::size_t end, std::size_t parentEnd, std::size_t* next) {
    *next = aligned(end);
    return *next < parentEnd;
}

// True when every node below `parent` (at `level`) reads, at every depth.
bool childrenHold(const std::uint8_t* block, const Node& parent, int level) {
    std::size_t at = parent.children;
    if (at >= parent.end) {
        return true;
    }
    do {
        Node child;
        if (level > kDeepestLevel || !readNode(block, at, parent.end, &child) ||
            !childrenHold(block, child, level + 1)) {
            return false;
        }
        at = child.end;
    } while (nextChild(at, parent.end, &at));
    return true;
}

bool keyIs(const std::uint8_t* block, const Node& node, const char16_t* key) {
    std::size_t i = 0;
    for (; i < node.keyUnits; ++i) {
        if (key[i] == 0 || word(block, node.key + 2 * i) != key[i]) {
            return false;
        }
    }
    return key[i] == 0;
}

// Reads the root and checks the whole tree below it.
bool readRoot(const std::uint8_t* block, std::size_t size, Node* root) {
    return block != nullptr && readNode(block, 0, size, root) && childrenHold(block, *root, 1);
}

// The first child of `parent` whose key is `key` (any child when `key` is null), in a checked tree.
bool findChild(const std::uint8_t* block, const Node& parent, const char16_t* key, Node* found) {
    std::size_t at = parent.children;
    if (at >= parent.end) {
        return false;
    }
    do {
        readNode(block, at, parent.end, found);
        if (key == nullptr || keyIs(block, *found, key)) {
            return true;
        }
        at = found->end;
    } while (nextChild(at, parent.end, &at));
    return false;
}

// Appends the decimal digits of `number` at out[*length], if they and a terminator fit.
bool appendNumber(unsigned number, char16_t* out, std::size_t capacity, std::size_t* length) {
    char16_t digits[5];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + number % 10);
        number /= 10;
    } while (number != 0);
    if (capacity - *length <= count) {
        return false;
    }
    while (count != 0) {
        out[(*length)++] = digits[--count];
    }
    return true;
}

bool refuse(char16_t* out, std::size_t capacity) {
    if (capacity != 0) {
        out[0] = 0;
    }
    return false;
}

}  // namespace

bool productVersionText(const std::uint8_t* block, std::size_t size, char16_t* out, std::size_t capacity) {
    Node root;
    if (!readRoot(block, size, &root) || !keyIs(block, root, u"VS_VERSION_INFO") ||
        root.valueBytes < kFixedInfoBytes || doubleWord(block, root.value) != kFixedInfoSignature) {
        return refuse(out, capacity);
    }
    const std::uint32_t high = doubleWord(block, root.value + 16);  // dwProductVersionMS
    const std::uint32_t low = doubleWord(block, root.value + 20);   // dwProductVersionLS
    const unsigned parts[4] = {high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF};
    std::size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        if (i != 0) {
            if (capacity - length <= 1) {
                return refuse(out, capacity);
            }
            out[length++] = u'.';
        }
        if (!appendNumber(parts[i], out, capacity, &length)) {
            return refuse(out, capacity);
        }
    }
    out[length] = 0;
    return true;
}

bool versionString(const std::uint8_t* block, std::size_t size, const char16_t* key, char16_t* out,
                   std::size_t capacity) {
    Node root, strings, table, entry;
    if (!readRoot(block, size, &root) || !findChild(block, root, u"StringFileInfo", &strings) ||
        !findChild(block, strings, nullptr, &table) || !findChild(block, table, key, &entry) ||
        entry.type != 1) {
        return refuse(out, capacity);
    }
    std::size_t units = 0;
    while (units < entry.valueUnits && word(block, entry.value + 2 * units) != 0) {
        ++units;
    }
    if (units >= capacity) {
        return refuse(out, capacity);
    }
    for (std::size_t i = 0; i < units; ++i) {
        out[i] = word(block, entry.value + 2 * i);
    }
    out[units] = 0;
    return true;
}
