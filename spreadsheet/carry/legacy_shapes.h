// The shapes of a sheet's legacy drawing (VML markup) that are not the boxes of its notes: form
// controls, ActiveX controls and embedded objects, which the sheet's <controls> and <oleObjects>
// name by shape id. They are kept as written and go into the one legacy drawing the writer
// makes for the sheet, beside the notes' boxes it writes anew.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ss {

struct LegacyShapes {
    std::string xml;               // the shape types the kept shapes use, then the shapes
    std::string namespaces;        // the root's declarations beyond v, o and x (" xmlns:w=\"...\"")
    std::set<std::string> relIds;  // relationship ids of the drawing they name (previews)
};

// The shapes of the drawing `vml` other than notes' boxes; empty when there is none.
LegacyShapes otherLegacyShapes(std::string_view vml);

// The markup with its line breaks closed ("<br>" -> "<br/>"): legacy drawings hold their texts
// in HTML-like markup whose line breaks some writers leave open, which no XML reader takes.
std::string closeLineBreaks(std::string_view vml);

// The blocks of shape ids a legacy drawing claims (<o:idmap data="1,2">).
std::set<uint32_t> idmapBlocks(std::string_view vml);

// The numbers of the shape ids the kept shapes take ("_x0000_s1025" -> 1025).
std::set<uint32_t> legacyShapeIds(std::string_view shapes);

// The shapes with the formulas of their controls (<x:FmlaLink>, <x:FmlaRange>, <x:FmlaTxbx>,
// <x:FmlaGroup>, <x:FmlaPict>) passed through `restate`; an element it gives nothing for is
// left out. A macro name (<x:FmlaMacro>) is kept as it is.
std::string restateLegacyFormulas(
    std::string_view shapes,
    const std::function<std::optional<std::string>(std::string_view)>& restate);

// The shape ids of `xml` moved by `by` (a multiple of 1024, so that they keep their places in
// their blocks): "_x0000_sN" in shape ids (id, o:spid, spid of a drawing's compatibility
// shapes) and the numbers of shapeId attributes (<control>, <oleObject>).
std::string shiftShapeIds(std::string_view xml, int64_t by);

// Whether the shape type `id` ("_x0000_t202") is among the kept shapes' types.
bool definesShapeType(std::string_view shapes, std::string_view id);

}  // namespace ss
