// Parts made in tests, as the package reader would hand them over.
#pragma once

#include <memory>
#include <string>

#include "spreadsheet/model/parts.h"

namespace testparts {

inline std::shared_ptr<ss::PackagePart> part(std::string name, std::string type, std::string data) {
    auto p = std::make_shared<ss::PackagePart>();
    p->name = std::move(name);
    p->contentType = std::move(type);
    p->data = std::make_shared<const std::string>(std::move(data));
    return p;
}

}  // namespace testparts
