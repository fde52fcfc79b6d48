// The pages people open in a browser, each written whole or not at all, its data packed inside.

#include "page_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "files.hpp"
#include "markup_text.hpp"

namespace line_sim {
namespace {

constexpr std::size_t CHUNK = 1 << 16;        // [bytes] of deflated output at a time
constexpr std::size_t INPUT_CHUNK = 1 << 16;  // [bytes] gathered before they are deflated
constexpr char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 of the first whole groups of three bytes of `bytes` (all of them if
// `last`, padded), removed from it.
std::string base64(std::string& bytes, bool last) {
    const std::size_t whole = bytes.size() / 3 * 3, rest = last ? bytes.size() - whole : 0;
    std::string out((whole / 3 + (rest > 0 ? 1 : 0)) * 4, '=');
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    char* to = out.data();
    const auto put = [&to](unsigned group, std::size_t characters) {
        for (std::size_t k = 0; k < characters; ++k) to[k] = BASE64[group >> (18 - 6 * k) & 63];
        to += 4;
    };
    for (std::size_t i = 0; i < whole; i += 3) put(in[i] << 16 | in[i + 1] << 8 | in[i + 2], 4);
    if (rest > 0) put(in[whole] << 16 | (rest > 1 ? in[whole + 1] << 8 : 0U), rest + 1);
    bytes.erase(0, whole + rest);
    return out;
}

}  // namespace

std::string base64_text(std::string_view bytes) {
    std::string all(bytes);
    return base64(all, true);
}

PageFile::PageFile(std::filesystem::path path) : path_(std::move(path)), file_(sim::open_part(path_.string())) {}

PageFile::~PageFile() {
    if (file_ == nullptr) return;  // committed
    std::fclose(file_);
    std::remove(sim::part_name(path_.string()).c_str());
}

void PageFile::fail(const std::string& what) const { throw sim::FileError(path_.string() + ": " + what); }

void PageFile::write(std::string_view bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) sim::throw_file_error(path_.string());
}

void PageFile::commit() { sim::close_part(std::exchange(file_, nullptr), path_.string()); }

PageBuffer::PageBuffer(PageFile& page) : page_(page), buffer_(CHUNK) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

void PageBuffer::write_out() {
    page_.write({pbase(), static_cast<std::size_t>(pptr() - pbase())});
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

PageBuffer::int_type PageBuffer::overflow(int_type c) {
    write_out();
    if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
}

int PageBuffer::sync() {
    write_out();
    return 0;
}

AsideFile::AsideFile(const PageFile& page) : page_(page) {
    const std::filesystem::path folder = page.path().parent_path().empty() ? "." : page.path().parent_path();
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without nameless files: a name of the page's own, gone as soon as it is open.
        const std::string name = sim::part_name(page.path().string() + ".aside");
        fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ >= 0) ::unlink(name.c_str());
    }
    if (fd_ < 0) sim::throw_file_error(page.path().string());
}

AsideFile::~AsideFile() { ::close(fd_); }

void AsideFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd_, bytes.data(), bytes.size());
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) sim::throw_file_error(page_.path().string());
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
}

void AsideFile::copy_to(PageFile& page) {
    char chunk[CHUNK];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd_, chunk, sizeof chunk, at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) page.fail(std::string("cannot read back what was put aside (") + std::strerror(errno) + ")");
        if (got == 0) return;
        page.write({chunk, static_cast<std::size_t>(got)});
        at += got;
    }
}

PackedBytes::PackedBytes(PageFile& page, AsideFile* aside)
    : page_(page), aside_(aside), level_buffer_(ISAL_DEF_LVL1_SMALL) {
    // ISA-L's level 1: as small as zlib's fastest level, in a fifth of its
    // time; zlib set the pace of line-sim (3.5 ms of a 120 s run's 600 kB).
    isal_deflate_init(&stream_);
    stream_.level = 1;
    stream_.level_buf = level_buffer_.data();
    stream_.level_buf_size = static_cast<std::uint32_t>(level_buffer_.size());
    stream_.gzip_flag = IGZIP_ZLIB;
    input_.reserve(INPUT_CHUNK);
}

void PackedBytes::add(const void* bytes, std::size_t size) {
    // A frame's code is a few dozen bytes, and a call costs ISA-L as much as
    // a few kilobytes: small pieces are gathered first.
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    if (input_.size() + size >= INPUT_CHUNK) {
        deflate(input_.data(), input_.size(), false);
        input_.clear();
    }
    if (size < INPUT_CHUNK) {
        input_.insert(input_.end(), in, in + size);
    } else {
        deflate(in, size, false);
    }
}

void PackedBytes::finish() {
    deflate(input_.data(), input_.size(), true);
    input_.clear();
    write(base64(pending_, true));
}

void PackedBytes::write(std::string_view base64) {
    if (aside_ != nullptr) {
        aside_->write(base64);
    } else {
        page_.write(base64);
    }
}

void PackedBytes::deflate(const std::uint8_t* bytes, std::size_t size, bool last) {
    unsigned char out[CHUNK];
    do {
        // avail_in is 32 bits: a piece of at most 1 GiB at a time.
        const std::size_t piece = std::min<std::size_t>(size, std::size_t{1} << 30);
        stream_.next_in = const_cast<std::uint8_t*>(bytes);  // ISA-L does not write through it
        stream_.avail_in = static_cast<std::uint32_t>(piece);
        stream_.end_of_stream = last && piece == size ? 1 : 0;
        do {
            stream_.next_out = out;
            stream_.avail_out = CHUNK;
            if (isal_deflate(&stream_) != COMP_OK) page_.fail("cannot compress");
            pending_.append(reinterpret_cast<const char*>(out), CHUNK - stream_.avail_out);
        } while (stream_.avail_in > 0 || stream_.avail_out == 0 ||
                 (stream_.end_of_stream != 0 && stream_.internal_state.state != ZSTATE_END));
        bytes += piece;
        size -= piece;
    } while (size > 0);
    write(base64(pending_, false));
}

std::string script_json(const nlohmann::json& value) {
    // What an HTML page should not hold as such: controls, and the characters
    // Unicode keeps out of text (U+FDD0..U+FDEF, and the last two of every plane).
    const auto plain = [](char32_t c) {
        const bool noncharacter = (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
        return is_xml_char(c) && !(c >= 0x7F && c <= 0x9F) && !noncharacter;
    };
    // A \u escape of a UTF-16 unit: the string's data stays exact.
    const auto escaped = [](std::string& text, char32_t unit) {
        text += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) text += "0123456789abcdef"[unit >> shift & 0xF];
    };
    // Outside strings a JSON text is ASCII without < > &: whatever is escaped
    // here stands in a string.
    const std::string json = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string text;
    text.reserve(json.size());
    for (std::size_t at = 0; at < json.size();) {
        const char32_t c = next_code_point(json, at);
        if (c == '<' || c == '>' || c == '&' || !plain(c)) {
            if (c < 0x10000) {
                escaped(text, c);
            } else {
                escaped(text, 0xD800 + ((c - 0x10000) >> 10));
                escaped(text, 0xDC00 + ((c - 0x10000) & 0x3FF));
            }
        } else {
            append_utf8(text, c);
        }
    }
    return text;
}

std::pair<std::string_view, std::string_view> split_page(std::string_view page, std::string_view marker) {
    const std::size_t at = page.find(marker);
    if (at == std::string_view::npos) throw std::logic_error("page without its data marker");
    return {page.substr(0, at), page.substr(at + marker.size())};
}

}  // namespace line_sim
