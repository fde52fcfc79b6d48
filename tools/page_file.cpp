#include "page_file.hpp"

#include <utility>

#include "files.hpp"

namespace line_sim {
namespace {

constexpr std::size_t CHUNK = 1 << 16;  // [bytes] of deflated output at a time
constexpr char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 of the first whole groups of three bytes of `bytes` (all of them if
// `last`, padded), removed from it.
std::string base64(std::string& bytes, bool last) {
    const std::size_t whole = last ? bytes.size() : bytes.size() / 3 * 3;
    std::string out((whole + 2) / 3 * 4, '=');
    char* to = out.data();
    for (std::size_t i = 0; i < whole; i += 3, to += 4) {
        const auto byte = [&](std::size_t k) { return k < whole ? static_cast<unsigned char>(bytes[k]) : 0U; };
        const unsigned group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        to[0] = BASE64[group >> 18 & 63];
        to[1] = BASE64[group >> 12 & 63];
        if (i + 1 < whole) to[2] = BASE64[group >> 6 & 63];
        if (i + 2 < whole) to[3] = BASE64[group & 63];
    }
    bytes.erase(0, whole);
    return out;
}

}  // namespace

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

PackedBytes::PackedBytes(PageFile& page, std::string* text) : page_(page), text_(text) {
    // The fastest level: packing the run's data set the pace of line-sim.
    if (deflateInit(&stream_, Z_BEST_SPEED) != Z_OK) page_.fail("cannot start compressing");
}

PackedBytes::~PackedBytes() { deflateEnd(&stream_); }

void PackedBytes::add(const void* bytes, std::size_t size) {
    stream_.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));  // zlib does not write through it
    stream_.avail_in = static_cast<uInt>(size);
    pump(Z_NO_FLUSH);
}

void PackedBytes::finish() {
    stream_.avail_in = 0;
    pump(Z_FINISH);
    write(base64(pending_, true));
}

void PackedBytes::write(std::string_view base64) {
    if (text_ != nullptr) {
        text_->append(base64);
    } else {
        page_.write(base64);
    }
}

void PackedBytes::pump(int flush) {
    unsigned char out[CHUNK];
    int result = Z_OK;
    do {
        stream_.next_out = out;
        stream_.avail_out = CHUNK;
        result = deflate(&stream_, flush);
        if (result == Z_STREAM_ERROR) page_.fail("cannot compress");
        pending_.append(reinterpret_cast<const char*>(out), CHUNK - stream_.avail_out);
    } while (stream_.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    write(base64(pending_, false));
}

std::string script_json(const nlohmann::json& value) {
    std::string text;
    for (const char c : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) {
        switch (c) {
            case '<': text += "\\u003c"; break;
            case '>': text += "\\u003e"; break;
            case '&': text += "\\u0026"; break;
            default: text += c;
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
