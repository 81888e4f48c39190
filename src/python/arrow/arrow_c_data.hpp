// The Arrow C data interface: the ABI-stable structs through which Arrow producers (pyarrow
// among them) hand over arrays without a library dependency, as the Arrow format
// documentation defines them. The guards let another definition of the same ABI coexist.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace vandra {

// Releases a stream when it goes, unless it was released already.
struct ArrowStreamGuard {
    ArrowArrayStream& stream;
    ~ArrowStreamGuard() {
        if (stream.release != nullptr) stream.release(&stream);
    }
};

// What an importer needs of a stream's schema: its format, whether it is dictionary-encoded
// (and then the format of the dictionary's values, if they have no children), and whether it
// has no children.
struct ArrowStreamSchema {
    std::string format;
    bool dictionary = false;
    bool plain = false;
    std::string dictionary_format;
};

// The schema of a stream about to be drained; nullopt, with the reason in `why`, when the
// stream is released already or gives none.
inline std::optional<ArrowStreamSchema> arrow_stream_schema(ArrowArrayStream& stream,
                                                            std::string& why) {
    if (stream.release == nullptr || !stream.get_schema || !stream.get_next) {
        why = "stream already released";
        return std::nullopt;
    }
    ArrowSchema schema{};
    if (stream.get_schema(&stream, &schema) != 0) {
        const char* error = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
        why = std::string("no schema") + (error ? std::string(": ") + error : std::string());
        return std::nullopt;
    }
    ArrowStreamSchema out{schema.format ? schema.format : "", schema.dictionary != nullptr,
                          schema.n_children == 0, ""};
    if (const ArrowSchema* d = schema.dictionary; d && d->format && d->n_children == 0)
        out.dictionary_format = d->format;
    if (schema.release != nullptr) schema.release(&schema);
    return out;
}

}  // namespace vandra
