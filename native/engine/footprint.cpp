// Footprint analysis: members, runs along the last axis, extremes.
#include "engine.hpp"

namespace morvane::engine {

Footprint analyse(const uint8_t *dense, const Index shape[3], const Index centre[3]) {
    Footprint f;
    for (int d = 0; d < 3; ++d) {
        f.shape[d] = shape[d];
        f.centre[d] = centre[d];
    }
    f.box = true;
    for (Index i = 0; i < shape[0]; ++i) {
        for (Index j = 0; j < shape[1]; ++j) {
            const uint8_t *row = dense + (i * shape[1] + j) * shape[2];
            bool row_used = false;
            for (Index k = 0; k < shape[2]; ++k) {
                if (row[k] == 0) {
                    f.box = false;
                    continue;
                }
                const Offset o{i - centre[0], j - centre[1], k - centre[2]};
                f.members.push_back(o);
                if (k == 0 || row[k - 1] == 0)
                    f.runs.push_back({o.dz, o.dy, o.dx, o.dx});
                else
                    f.runs.back().x1 = o.dx;
                row_used = true;
            }
            f.rows_used += row_used;
        }
    }
    for (size_t m = 0; m < f.members.size(); ++m) {
        const Index o[3] = {f.members[m].dz, f.members[m].dy, f.members[m].dx};
        for (int d = 0; d < 3; ++d) {
            if (m == 0 || o[d] < f.lo[d]) f.lo[d] = o[d];
            if (m == 0 || o[d] > f.hi[d]) f.hi[d] = o[d];
        }
        if (o[0] == 0 && o[1] == 0 && o[2] == 0) f.centre_member = true;
    }
    return f;
}

} // namespace morvane::engine
