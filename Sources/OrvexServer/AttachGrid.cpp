#include "OrvexServer/AttachGrid.hpp"

#include <algorithm>

namespace OrvexServer {

std::optional<AttachFrame::Resize>
sharedWindowSize(const std::vector<AttachFrame::Resize>& clientSizes) {
    if (clientSizes.empty()) {
        return std::nullopt;
    }
    AttachFrame::Resize shared = clientSizes.front();
    for (const auto& size : clientSizes) {
        shared.rows = std::min(shared.rows, size.rows);
        shared.cols = std::min(shared.cols, size.cols);
    }
    return shared;
}

} // namespace OrvexServer
