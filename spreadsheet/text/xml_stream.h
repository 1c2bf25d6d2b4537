// A streaming XML parse (expat) for the readers of whole documents that arrive in pieces: names
// resolved to their namespace (or, for speed, left with their prefixes for the handler to
// resolve), a bound on the nesting depth, no document type declarations (and so no entities
// that expand). The handler sees each element once and keeps no tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ss::xml {

// A name as the parser hands it over. With namespaces resolved, `ns` is the namespace's URI
// ("uri local" split at the space); without, it is the prefix ("table:name" split at the colon).
// Empty for a name of no namespace or no prefix.
struct QName {
    std::string_view ns, local;
};
QName splitName(const char* name);      // "uri local"
QName splitPrefixed(const char* name);  // "prefix:local"

class StreamHandler {
public:
    virtual ~StreamHandler() = default;
    // `atts`: name, value, name, value ..., null; names as splitName (or splitPrefixed) reads
    // them.
    virtual void start(QName name, const char** atts) = 0;
    virtual void end(QName name) = 0;
    virtual void text(std::string_view s) = 0;
    // Set by a handler to stop the parse with this reason.
    std::string failure;
};

class StreamParser {
public:
    StreamParser(StreamHandler& h, bool namespaces = true, uint32_t maxDepth = 256);
    ~StreamParser();
    StreamParser(const StreamParser&) = delete;
    StreamParser& operator=(const StreamParser&) = delete;

    // Parses the next piece; false once the document is found broken or the handler stops it.
    bool feed(const char* data, size_t size, bool last);
    // Why the parse stopped: the handler's reason, the depth, a declaration, or expat's own
    // reason with its line.
    std::string reason() const;

    struct Impl;  // expat's state and what the callbacks share

private:
    Impl* impl_;
};

}  // namespace ss::xml
