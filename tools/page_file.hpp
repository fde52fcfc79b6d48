#pragma once

// Writing the pages people open in a browser: each written whole or not at
// all, with its data packed inside it.

#include <isa-l/igzip_lib.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <streambuf>
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
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
};

// Writes what is put to it into a page, a chunk at a time: a stream on it
// draws a page with bounded memory. A failed write throws as PageFile::write
// (let through by a stream whose exceptions() include badbit); pubsync()
// writes what is left.
class PageBuffer : public std::streambuf {
public:
    explicit PageBuffer(PageFile& page);

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    void write_out();

    PageFile& page_;
    std::vector<char> buffer_;
};

// Bytes put aside for `page` while another part of it is written: a file
// without a name in the page's folder (nothing is left of it however line-sim
// ends), so that what waits takes disk rather than memory growing with the
// run. Failures throw sim::FileError naming the page.
class AsideFile {
public:
    explicit AsideFile(const PageFile& page);
    ~AsideFile();
    AsideFile(const AsideFile&) = delete;
    AsideFile& operator=(const AsideFile&) = delete;

    void write(std::string_view bytes);
    // Everything written so far into the page, a chunk at a time.
    void copy_to(PageFile& page);

private:
    const PageFile& page_;
    int fd_ = -1;
};

// Bytes deflated (zlib format, as the browser's DecompressionStream("deflate")
// reads it) and written to a page in base64, as they come; or, given `aside`,
// written there, for the page later (one stream packed while another is
// written into the page).
class PackedBytes {
public:
    explicit PackedBytes(PageFile& page, AsideFile* aside = nullptr);
    PackedBytes(const PackedBytes&) = delete;
    PackedBytes& operator=(const PackedBytes&) = delete;

    void add(const void* bytes, std::size_t size);
    void finish();  // call once, after the last add

private:
    // Deflates `size` bytes (the last ones if `last`) and writes what comes out.
    void deflate(const std::uint8_t* bytes, std::size_t size, bool last);
    void write(std::string_view base64);

    PageFile& page_;
    AsideFile* aside_;
    isal_zstream stream_{};
    std::vector<std::uint8_t> level_buffer_;  // the compressor's working memory
    std::vector<std::uint8_t> input_;         // bytes added but not yet deflated
    std::string pending_;                     // deflated bytes not yet a whole number of base64 groups
};

// `bytes` in base64, padded: what a data: URI holds.
std::string base64_text(std::string_view bytes);

// JSON that may stand inside a <script> element: no "<", ">" or "&" as such,
// and no character an HTML page should not hold (controls, noncharacters:
// escaped, so that the data is exact), nor bytes that are not UTF-8 (U+FFFD).
std::string script_json(const nlohmann::json& value);

// The text of a page before and after its one `marker`.
std::pair<std::string_view, std::string_view> split_page(std::string_view page, std::string_view marker);

}  // namespace line_sim
