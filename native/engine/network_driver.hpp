// The network method's driver: one band of one call, interior rows by the
// specialised kernels, the pair plans or the plans of pass A and B; the
// border columns and the windows left over in network_borders.hpp.
//
// A part of network.cpp, included once inside its unnamed namespace; no
// include guard.

// One band of one call.
template <class T> class Driver {
public:
    Driver(const Task &t, const Kernels &k) : t_(t), f_(*t.fp), k_(k) {
        W_ = t.image.shape[2];
        H_ = t.image.shape[1];
        D_ = t.image.shape[0];
        // Footprints without their centre may lie wholly to one side.
        interior_columns(t, &x_lo_, &x_hi_);
        x_lo_ = std::max<Index>(0, x_lo_);
        x_hi_ = std::max(x_lo_, std::min(W_, x_hi_));
        L_ = k.lanes;
        vector_rows_ = x_hi_ - x_lo_ >= L_;
        direct_ = t.out.strides[2] == static_cast<Index>(sizeof(T));
        if (!direct_) row_out_.resize(static_cast<size_t>(W_) * sizeof(T) + 64);
        full_rank_ = t.rank_of[static_cast<size_t>(f_.size())];
        const int hot = vector_rows_ ? hot_shape_of(f_) : -1;
        const HotFn *kernels = hot >= 0 ? hot_kernels(k, hot, x_hi_ - x_lo_) : nullptr;
        if (kernels != nullptr) {
            hot_ = kernels[full_rank_];
            hot_buffer_.resize(kHotBuffer + static_cast<size_t>(W_) * sizeof(T));
        }
    }

    void run(const Band &b, const Control &c) {
        for (Index z = b.z0; z < b.z1; ++z) {
            Index y = b.y0;
            while (y < b.y1) {
                // Rows with the same member subset: their border columns
                // go through strips when there are enough of them.
                const Key key = key_of(z, y);
                Index end = y + 1;
                while (end < b.y1 && key_of(z, end) == key) ++end;
                if (end - y >= L_) {
                    // Blocks of rows, none narrower than a vector: the
                    // interior, then the border columns while the block's
                    // rows are still in cache.
                    const Index block = strip_block();
                    for (Index a = y; a < end;) {
                        Index e = std::min(end, a + block);
                        if (end - e < L_) e = end;
                        if (!interior_rows(z, a, e, c)) return;
                        if (c.cancelled()) return;
                        strip_pass(z, a, e, key);
                        a = e;
                    }
                } else {
                    if (!interior_rows(z, y, end, c)) return;
                    for (Index r = y; r < end; ++r) {
                        if (vector_rows_) {
                            gather_row(z, r, 0, x_lo_);
                            gather_row(z, r, x_hi_, W_);
                        } else {
                            gather_row(z, r, 0, W_);
                        }
                    }
                }
                y = end;
            }
        }
        flush();
    }

private:
    static constexpr T kTop = std::numeric_limits<T>::max();

    // Rows per block of interior rows and their border strips: about
    // 256 KB of image rows, so that the strips find the rows in cache, and
    // eight footprints high, so that blocks rebuild little halo.
    Index strip_block() const {
        const Index bytes = std::max<Index>(1, W_ * static_cast<Index>(sizeof(T)));
        const Index least = std::max<Index>(L_, 8 * f_.shape[1]);
        return std::clamp<Index>((Index{1} << 18) / bytes, std::min(least, kStripRows), kStripRows);
    }

    // The interior columns of rows [ya, yb) of plane z (rows of one member
    // subset) by the specialised kernel, the pair plan or the plans of
    // single rows; false when cancelled.
    bool interior_rows(Index z, Index ya, Index yb, const Control &c) {
        if (!vector_rows_) return !c.cancelled();
        if (hot_ != nullptr && interior_row(t_, z, ya)) {
            for (Index r = ya; r < yb; r += kHotRows) {
                if (c.cancelled()) return false;
                hot_block(z, r, std::min(yb, r + kHotRows));
            }
        } else if (interior_row(t_, z, ya) && pair_plan() != nullptr) {
            for (Index r = ya; r < yb; r += kPairRows) {
                if (c.cancelled()) return false;
                pair_block(z, r, std::min(yb, r + kPairRows));
            }
        } else {
            for (Index r = ya; r < yb; ++r) {
                if (c.cancelled()) return false;
                plan_row(z, r);
            }
        }
        return true;
    }

    const char *image_row(Index z, Index y) const { return t_.image.at(z, y, 0, sizeof(T)); }

    // Where a row's vector results go: the output row, or a row buffer
    // copied out afterwards when the output's pixels are not adjacent.
    char *out_row(Index z, Index y) {
        if (direct_) return t_.out.data + z * t_.out.strides[0] + y * t_.out.strides[1];
        return row_out_.data();
    }
    void finish_row(Index z, Index y) {
        if (direct_) return;
        for (Index x = x_lo_; x < x_hi_; ++x)
            t_.out.put_value(z, y, x, load<T>(row_out_.data() + x * sizeof(T)));
    }

    // Interior rows [ya, yb) of plane z by the specialised kernel.
    void hot_block(Index z, Index ya, Index yb) {
        const Index item = sizeof(T);
        HotBlock h;
        h.origin = t_.image.at(z + f_.lo[0], ya + f_.lo[1], x_lo_ + f_.lo[2], item);
        h.row_pitch = t_.image.strides[1];
        h.plane_pitch = t_.image.strides[0];
        h.rows = yb - ya;
        h.count = x_hi_ - x_lo_;
        h.spare = hot_buffer_.data + kHotBuffer;
        if (direct_) {
            h.out = t_.out.data + z * t_.out.strides[0] + ya * t_.out.strides[1] + x_lo_ * item;
            h.out_pitch = t_.out.strides[1];
            hot_(h, hot_buffer_.data);
            return;
        }
        // Adjacent rows first, copied out after.
        const size_t need = static_cast<size_t>(h.rows * h.count * item);
        if (block_out_.size() < need) block_out_.resize(need);
        h.out = block_out_.data();
        h.out_pitch = h.count * item;
        hot_(h, hot_buffer_.data);
        for (Index y = ya; y < yb; ++y)
            for (Index x = x_lo_; x < x_hi_; ++x)
                t_.out.put_value(z, y, x,
                                 load<T>(h.out + (y - ya) * h.out_pitch + (x - x_lo_) * item));
    }

    // The plan of the member subset of row (z, y).
    // The planes and rows of the footprint inside the image for the
    // windows of row (z, y): dz in [key[0], key[1]], dy in [key[2], key[3]].
    using Key = std::array<Index, 4>;
    Key key_of(Index z, Index y) const {
        return {std::max(f_.lo[0], -z), std::min(f_.hi[0], D_ - 1 - z), std::max(f_.lo[1], -y),
                std::min(f_.hi[1], H_ - 1 - y)};
    }

    Plan &plan_for(Index z, Index y) {
        const Key key = key_of(z, y);
        const Index z_first = key[0], z_last = key[1], y_first = key[2], y_last = key[3];
        for (auto &p : plans_)
            if (p.first == key) return *p.second;
        std::vector<Offset> subset;
        for (const Offset &o : f_.members)
            if (o.dz >= z_first && o.dz <= z_last && o.dy >= y_first && o.dy <= y_last)
                subset.push_back(o);
        const Index rank = subset.empty() ? 0 : t_.rank_of[subset.size()];
        const bool whole = subset.size() == f_.members.size();
        plans_.emplace_back(key, make_plan(subset, rank, !whole));
        Plan &plan = *plans_.back().second;
        prepare(plan);
        return plan;
    }

    // Buffers and pointer tables of a new plan.
    void prepare(Plan &plan) {
        if (plan.empty) return;
        const Index item = sizeof(T), span = f_.hi[2] - f_.lo[2];
        const size_t vec = static_cast<size_t>(L_) * sizeof(T);
        size_t scratch = fit_block(plan.select, vec);
        for (Plan::Column &c : plan.columns) scratch = std::max(scratch, fit_block(c.exec, vec));
        plan.scratch.resize(scratch);
        // Chunks of columns narrow enough for the buffer rows to stay in
        // the L1 cache.
        plan.chunk = x_hi_ - x_lo_;
        if (plan.buffers > 0) {
            const Index fit = kBufferBytes / (plan.buffers * item) - span - L_;
            plan.chunk = std::min(plan.chunk, std::max<Index>(2 * L_, fit));
        }
        // A chunk widens by up to a vector rather than leave a narrower one.
        plan.pitch = std::min(plan.chunk + L_, x_hi_ - x_lo_) + span + L_;
        if (plan.buffers > 0)
            plan.buffer.resize(static_cast<size_t>(plan.buffers * plan.pitch * item));
        auto table = [&](const Exec &e, std::vector<char *> &ptr, std::vector<char *> &origin) {
            scratch_table(e, plan.scratch.data, vec, ptr);
            origin.assign(static_cast<size_t>(e.inputs + e.outputs), plan.scratch.data);
        };
        for (Plan::Column &c : plan.columns) table(c.exec, c.ptr, c.origin);
        table(plan.select, plan.ptr, plan.origin);
    }

    void plan_row(Index z, Index y) {
        Plan &plan = plan_for(z, y);
        char *out = out_row(z, y);
        const Index item = sizeof(T), span = f_.hi[2] - f_.lo[2];
        if (plan.empty) {
            std::memset(out + x_lo_ * item, 0, static_cast<size_t>((x_hi_ - x_lo_) * item));
            finish_row(z, y);
            return;
        }
        char *buffer = plan.buffer.data;
        for (Index a = x_lo_; a < x_hi_; a += plan.chunk) {
            Index b = std::min(x_hi_, a + plan.chunk);
            if (x_hi_ - b < L_) b = x_hi_;
            for (Plan::Column &c : plan.columns) {
                for (size_t k = 0; k < c.dy.size(); ++k)
                    c.origin[k] = const_cast<char *>(image_row(z + c.dz, y + c.dy[k])) +
                                  (a + f_.lo[2]) * item;
                for (size_t j = 0; j < c.rows.size(); ++j)
                    c.origin[c.dy.size() + j] = buffer + c.rows[j] * plan.pitch * item;
                k_.range(c.exec, c.origin.data(), b - a + span, c.ptr.data());
            }
            for (size_t i = 0; i < plan.inputs.size(); ++i) {
                const Plan::Input &in = plan.inputs[i];
                if (in.buffered)
                    plan.origin[i] =
                        in.buffer < 0 ? plan.scratch.data
                                      : buffer + (in.buffer * plan.pitch + in.dx - f_.lo[2]) * item;
                else
                    plan.origin[i] =
                        const_cast<char *>(image_row(z + in.dz, y + in.dy)) + (a + in.dx) * item;
            }
            plan.origin[plan.inputs.size()] = out + a * item;
            k_.range(plan.select, plan.origin.data(), b - a, plan.ptr.data());
            if (b == x_hi_) break;
        }
        finish_row(z, y);
    }

    // The pair plan of the interior rows, when it costs less than the plan
    // of single rows; null otherwise.
    PairPlan *pair_plan() {
        if (pair_checked_) return pair_.get();
        pair_checked_ = true;
        if (f_.size() < 2) return nullptr;
        const Plan &single = plan_for(-f_.lo[0], -f_.lo[1]);
        double single_ops = static_cast<double>(single.select.ops.size());
        for (const Plan::Column &c : single.columns)
            single_ops += static_cast<double>(c.exec.ops.size());
        auto plan = make_pair_plan(f_.members, full_rank_);
        if (plan->ops_per_row > 0.9 * single_ops) return nullptr;
        PairPlan &p = *plan;
        const Index item = sizeof(T);
        const size_t vec = static_cast<size_t>(L_) * sizeof(T);
        size_t scratch = fit_block(p.exec, vec);
        for (PairPlan::Pattern &pat : p.patterns)
            if (!pat.ranks.empty()) scratch = std::max(scratch, fit_block(pat.exec, vec));
        p.scratch.resize(scratch);
        scratch_table(p.exec, p.scratch.data, vec, p.ptr);
        p.origin.assign(static_cast<size_t>(p.exec.inputs + p.exec.outputs), p.scratch.data);
        for (PairPlan::Pattern &pat : p.patterns) {
            if (pat.ranks.empty()) continue;
            scratch_table(pat.exec, p.scratch.data, vec, pat.ptr);
            pat.origin.assign(static_cast<size_t>(pat.exec.inputs + pat.exec.outputs), nullptr);
        }
        // A ring slot per image row the pair reads, and two to move on; the
        // chunk of columns keeps the ring in the L1 and L2 caches.
        p.slots = p.o_hi - p.o_lo + 3;
        const Index count = x_hi_ - x_lo_;
        p.chunk = count;
        if (p.per_slot > 0) {
            const Index fit = kRingBytes / (p.slots * p.per_slot * item) - L_;
            p.chunk = std::min(count, std::max<Index>(2 * L_, fit));
        }
        p.pitch = std::min(p.chunk + L_, count) + L_;
        if (p.per_slot > 0)
            p.ring.resize(static_cast<size_t>(p.slots * p.per_slot * p.pitch * item));
        if (spare_.size() < static_cast<size_t>(W_ * item))
            spare_.resize(static_cast<size_t>(W_ * item));
        pair_ = std::move(plan);
        return pair_.get();
    }

    // Interior rows [ya, yb) of plane z by pairs.
    void pair_block(Index z, Index ya, Index yb) {
        PairPlan &p = *pair_;
        const Index item = sizeof(T), count = x_hi_ - x_lo_;
        char *out = nullptr;
        Index out_pitch = 0;
        if (direct_) {
            out = t_.out.data + z * t_.out.strides[0] + ya * t_.out.strides[1] + x_lo_ * item;
            out_pitch = t_.out.strides[1];
        } else {
            const size_t need = static_cast<size_t>((yb - ya) * count * item);
            if (block_out_.size() < need) block_out_.resize(need);
            out = block_out_.data();
            out_pitch = count * item;
        }
        auto ring_row = [&](Index r, const PairPlan::Pattern &pat, int rank) {
            const Index at =
                std::find(pat.ranks.begin(), pat.ranks.end(), rank) - pat.ranks.begin();
            return p.ring.data + (((r % p.slots) * p.per_slot + pat.first + at) * p.pitch) * item;
        };
        for (Index a = 0; a < count; a += p.chunk) {
            Index b = std::min(count, a + p.chunk);
            if (count - b < L_) b = count;
            const Index width = b - a;
            Index done = 0; // image rows ya + o_lo + 0 .. done-1 sorted
            auto sorted_up_to = [&](Index rows) {
                for (; done < rows; ++done) {
                    for (PairPlan::Pattern &pat : p.patterns) {
                        if (pat.ranks.empty()) continue;
                        const char *row =
                            image_row(z + pat.dz, ya + p.o_lo + done) + (x_lo_ + a) * item;
                        for (size_t k = 0; k < pat.dx.size(); ++k)
                            pat.origin[k] = const_cast<char *>(row) + pat.dx[k] * item;
                        for (size_t j = 0; j < pat.ranks.size(); ++j)
                            pat.origin[pat.dx.size() + j] = ring_row(done, pat, pat.ranks[j]);
                        k_.range(pat.exec, pat.origin.data(), width, pat.ptr.data());
                    }
                }
            };
            for (Index y = ya; y < yb; y += 2) {
                // A last single row runs as a pair whose lower row, read
                // from a repeated image row, is thrown away.
                const bool pair = y + 1 < yb;
                const Index rel = y - ya;
                sorted_up_to(rel + p.o_hi - p.o_lo + pair);
                for (size_t i = 0; i < p.inputs.size(); ++i) {
                    const PairPlan::Input &in = p.inputs[i];
                    const Index o = !pair && in.o == p.o_hi ? p.o_hi - 1 : in.o;
                    if (in.buffered)
                        p.origin[i] = ring_row(
                            rel + o - p.o_lo, p.patterns[static_cast<size_t>(in.pattern)], in.rank);
                    else
                        p.origin[i] = const_cast<char *>(image_row(z + in.dz, y + o)) +
                                      (x_lo_ + a + in.dx) * item;
                }
                p.origin[p.inputs.size()] = out + rel * out_pitch + a * item;
                p.origin[p.inputs.size() + 1] =
                    pair ? out + (rel + 1) * out_pitch + a * item : spare_.data() + a * item;
                k_.range(p.exec, p.origin.data(), width, p.ptr.data());
            }
            if (b == count) break;
        }
        if (!direct_)
            for (Index y = ya; y < yb; ++y)
                for (Index x = x_lo_; x < x_hi_; ++x)
                    t_.out.put_value(z, y, x,
                                     load<T>(out + (y - ya) * out_pitch + (x - x_lo_) * item));
    }

    // Strips: the border columns of a block of rows with the same member
    // subset, vectorised along the columns of the image. The image columns
    // they read are copied transposed (a strip row per image column), so
    // that consecutive output rows are adjacent lanes. One program per
    // subset serves every border column: the members a column's windows
    // miss are filled with zeros and largest values as for gathered windows.
    struct KeyProgram {
        Key key;
        std::vector<Offset> members; // the subset, in footprint order
        Index rank = 0;
        Exec exec;
        std::vector<char *> origin, ptr;
        Aligned scratch;
    };

    KeyProgram &key_program(const Key &key) {
        for (auto &p : key_programs_)
            if (p->key == key) return *p;
        auto p = std::make_unique<KeyProgram>();
        p->key = key;
        for (const Offset &o : f_.members)
            if (o.dz >= key[0] && o.dz <= key[1] && o.dy >= key[2] && o.dy <= key[3])
                p->members.push_back(o);
        if (!p->members.empty()) {
            p->rank = t_.rank_of[p->members.size()];
            p->exec = built().exec(p->members, p->rank, [&] {
                std::vector<net::Group> groups;
                for (const ColumnOf &c : columns_of(p->members)) {
                    net::Group g;
                    g.values = c.member;
                    groups.push_back(std::move(g));
                }
                return lower(net::select(static_cast<int>(p->members.size()), groups,
                                         static_cast<int>(p->rank), kQuickStrategies));
            });
            const size_t vec = static_cast<size_t>(L_) * sizeof(T);
            p->scratch.resize(fit_block(p->exec, vec));
            scratch_table(p->exec, p->scratch.data, vec, p->ptr);
            p->origin.assign(static_cast<size_t>(p->exec.inputs + p->exec.outputs), nullptr);
        }
        key_programs_.push_back(std::move(p));
        return *key_programs_.back();
    }

    // The in-image columns first .. last (relative to the centre) of the
    // windows of column x: one filter for every window cut by the left or
    // right border.
    std::pair<Index, Index> columns_inside(Index x) const {
        return {std::max(f_.lo[2], -x), std::min(f_.hi[2], W_ - 1 - x)};
    }

    // Border strips and gathered windows (network_borders.hpp) ----------------

    void constant_rows();
    void strip_pass(Index z, Index ya, Index yb, const Key &key);

    // The members of a window inside the image when it is cut only by the
    // left or right border (columns first .. last of the footprint), as
    // byte offsets from the pixel, and the fill of the missing members.
    struct Cut {
        Index first, last;
        std::vector<std::pair<int, Index>> inside; // member, offset
        std::vector<std::pair<int, T>> fill;       // member, value
        bool sort = false;                         // left to SortFill
        bool empty = false;                        // no member counted
    };

    const Cut &cut_of(Index x);
    void gather_row(Index z, Index y, Index from, Index to);
    void single(Index z, Index y, Index x, bool empty);
    void start_gather();
    void flush();

    const Task &t_;
    const Footprint &f_;
    const Kernels &k_;
    Index W_, H_, D_, x_lo_, x_hi_;
    int L_;
    bool vector_rows_, direct_;
    Index full_rank_;
    std::vector<char> row_out_, block_out_, spare_;
    std::unique_ptr<PairPlan> pair_;
    bool pair_checked_ = false;
    HotFn hot_ = nullptr;
    Aligned hot_buffer_;
    std::vector<std::pair<std::array<Index, 4>, std::unique_ptr<Plan>>> plans_;
    // gathering
    KeyProgram *whole_ = nullptr; // the program of the whole footprint
    Aligned values_, result_;
    std::vector<char *> gather_origin_;
    std::vector<int> missing_;
    std::vector<std::array<Index, 3>> where_;
    int batch_ = 0;
    std::vector<Cut> cuts_;
    Index singles_ = 0;
    // strips
    std::vector<std::unique_ptr<KeyProgram>> key_programs_;
    Aligned zeros_, tops_;
    std::vector<Index> strip_column_, strip_image_column_, strip_x_;
    Index strip_columns_ = 0;
    Aligned strip_, strip_out_;
    std::unique_ptr<SortFill> fallback_;
};
