#pragma once

// Writing the pages people open in a browser: each written whole or not at
// all, with its data packed inside it.

#include <isa-l/igzip_lib.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace line_sim {

// A page that is complete or absent (sim::open_part, renamed over `path` by
// commit()). Every write is checked and a failure throws sim::FileError
// naming `path`; a page not committed leaves nothing behind.
class PageFile {
public:
    explicit PageFile(std::filesystem::path path);
    ~PageFile();
    PageFile(const PageFile&) = delete;
    PageFile& operator=(const PageFile&) = delete;

    void write(std::string_view bytes);
    void commit();
    [[noreturn]] void fail(const std::string& what) const;

private:
    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
};

// Bytes deflated (zlib format, as the browser's DecompressionStream("deflate")
// reads it) and written to a page in base64, as they come; or, given `text`,
// appended to it, for the page later (one stream packed while another is
// written into the page).
class PackedBytes {
public:
    explicit PackedBytes(PageFile& page, std::string* text = nullptr);
    PackedBytes(const PackedBytes&) = delete;
    PackedBytes& operator=(const PackedBytes&) = delete;

    void add(const void* bytes, std::size_t size);
    void finish();  // call once, after the last add

private:
    // Deflates `size` bytes (the last ones if `last`) and writes what comes out.
    void deflate(const std::uint8_t* bytes, std::size_t size, bool last);
    void write(std::string_view base64);

    PageFile& page_;
    std::string* text_;
    isal_zstream stream_{};
    std::vector<std::uint8_t> level_buffer_;  // the compressor's working memory
    std::vector<std::uint8_t> input_;         // bytes added but not yet deflated
    std::string pending_;  // deflated bytes not yet a whole number of base64 groups
};

// JSON that may stand inside a <script> element: no "<", ">" or "&" as such.
std::string script_json(const nlohmann::json& value);

// The text of a page before and after its one `marker`.
std::pair<std::string_view, std::string_view> split_page(std::string_view page, std::string_view marker);

}  // namespace line_sim
