#include "index_page.hpp"

#include "file_names.hpp"
#include "page_file.hpp"

// tools/replay/index.html, built in (tools/CMakeLists.txt).
extern const std::string_view INDEX_PAGE;

namespace line_sim {

void write_index(const std::filesystem::path& out_folder, const std::vector<IndexRow>& rows,
                 const std::string& sweep_svg) {
    nlohmann::json runs = nlohmann::json::array();
    for (const IndexRow& row : rows) {
        // A URL's path separator, whatever the system's.
        runs.push_back({{"folder", row.folder.generic_string()}, {"summary", row.summary}, {"settings", row.settings}});
    }
    PageFile page(out_folder / sim::INDEX_FILE);
    const auto [head, tail] = split_page(INDEX_PAGE, "<!--DATA-->");
    page.write(head);
    // The sweep plot is line-sim's own SVG: it goes in as it is, without its XML declaration.
    const std::size_t svg = sweep_svg.find("<svg");
    if (svg != std::string::npos) page.write("<figure id=\"sweep\">" + sweep_svg.substr(svg) + "</figure>\n");
    page.write("<script id=\"runs\" type=\"application/json\">" + script_json(runs) + "</script>\n");
    page.write(tail);
    page.commit();
}

}  // namespace line_sim
