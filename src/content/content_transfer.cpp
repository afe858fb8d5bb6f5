// Copying content between players over TCP 45873.
#include "content/content_mesh.h"

namespace lumetta {

void ContentMesh::serveRequest(int) {}

int ContentMesh::fetch(const std::string&, const std::string&, const MeshFetchOptions&) {
    if (!running_.load()) return stopRequested_.load() ? 2 : 0;
    return 0;
}

}  // namespace lumetta
