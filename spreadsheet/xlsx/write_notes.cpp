// The notes of a sheet: the comments part with their texts, and the legacy drawing with the boxes
// they show in (and the kept shapes of the sheet's controls and embedded objects).
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "../carry/legacy_shapes.h"
#include "write_internal.h"

namespace ss {

using xml::appendXstring;

void notesPart(const Worksheet& ws, std::string& out) {
    out = kXmlDecl;
    out += "<comments xmlns=\"";
    out += kMainNs;
    out += "\"><authors>";
    std::vector<std::string> authors;
    std::vector<size_t> authorOf;
    for (const CellNote& n : ws.notes) {
        auto it = std::find(authors.begin(), authors.end(), n.author);
        authorOf.push_back(size_t(it - authors.begin()));
        if (it == authors.end()) authors.push_back(n.author);
    }
    for (const std::string& a : authors) {
        out += "<author>";
        appendXstring(out, a);
        out += "</author>";
    }
    out += "</authors><commentList>";
    for (size_t i = 0; i < ws.notes.size(); ++i) {
        const CellNote& n = ws.notes[i];
        out += "<comment";
        attrS(out, "ref", cellName(n.row, n.col));
        attrU(out, "authorId", authorOf[i]);
        out += '>';
        out += n.textXml;
        out += "</comment>";
    }
    out += "</commentList></comments>";
}

// The sheet's legacy drawing: the boxes the notes show in (hidden until the cell is pointed at),
// and the kept shapes of its controls and embedded objects. Those have their ids as the part
// graph planned them (the sheet's <controls> and <oleObjects>, and its drawing, name them);
// the boxes take ids of blocks no other drawing of the package uses.
void legacyDrawingPart(const Worksheet& ws, const xlsx::PartGraphWriter::SheetOut& carried,
                       uint32_t& nextBlock, std::string& out) {
    const size_t blocks = ws.notes.empty() ? 0 : (ws.notes.size() + 1) / 1024 + 1;
    std::set<uint32_t> used;
    for (uint32_t id : legacyShapeIds(carried.legacyShapes)) used.insert(id / 1024);
    for (size_t b = 0; b < blocks; ++b) used.insert(uint32_t(nextBlock + b));
    std::string ids;
    for (uint32_t b : used) ids += (ids.empty() ? "" : ",") + std::to_string(b);
    out = kXmlDecl;
    out +=
        "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" "
        "xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
        "xmlns:x=\"urn:schemas-microsoft-com:office:excel\"" +
        carried.legacyNamespaces +
        "><o:shapelayout v:ext=\"edit\"><o:idmap v:ext=\"edit\" data=\"" + ids +
        "\"/></o:shapelayout>";
    if (!ws.notes.empty() && !definesShapeType(carried.legacyShapes, "_x0000_t202"))
        out +=
            "<v:shapetype id=\"_x0000_t202\" coordsize=\"21600,21600\" o:spt=\"202\" "
            "path=\"m,l,21600r21600,l21600,xe\"><v:stroke joinstyle=\"miter\"/>"
            "<v:path gradientshapeok=\"t\" o:connecttype=\"rect\"/></v:shapetype>";
    out += carried.legacyShapes;
    for (size_t k = 0; k < ws.notes.size(); ++k) {
        const CellNote& n = ws.notes[k];
        const uint64_t id = uint64_t(nextBlock) * 1024 + k + 1;
        const uint32_t row = n.row - 1, col = n.col - 1;  // counted from 0 here
        const uint32_t top = row ? row - 1 : 0;
        out += "<v:shape id=\"_x0000_s" + std::to_string(id) +
               "\" type=\"#_x0000_t202\" style=\"position:absolute;margin-left:59.25pt;"
               "margin-top:1.5pt;width:108pt;height:59.25pt;z-index:" +
               std::to_string(k + 1) + (n.visible ? ";visibility:visible" : ";visibility:hidden") +
               "\" fillcolor=\"#ffffe1\" o:insetmode=\"auto\">"
               "<v:fill color2=\"#ffffe1\"/><v:shadow on=\"t\" color=\"black\" obscured=\"t\"/>"
               "<v:path o:connecttype=\"none\"/><v:textbox style=\"mso-direction-alt:auto\">"
               "<div style=\"text-align:left\"></div></v:textbox>"
               "<x:ClientData ObjectType=\"Note\"><x:MoveWithCells/><x:SizeWithCells/><x:Anchor>" +
               std::to_string(col + 1) + ", 15, " + std::to_string(top) + ", 10, " +
               std::to_string(col + 3) + ", 15, " + std::to_string(top + 4) +
               ", 4</x:Anchor><x:AutoFill>False</x:AutoFill><x:Row>" + std::to_string(row) +
               "</x:Row><x:Column>" + std::to_string(col) + "</x:Column>" +
               (n.visible ? "<x:Visible/>" : "") + "</x:ClientData></v:shape>";
    }
    out += "</xml>";
    nextBlock += uint32_t(blocks);
}

}  // namespace ss
