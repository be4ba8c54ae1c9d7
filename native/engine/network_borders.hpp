// The network method's border columns, by strips (the columns they read
// copied transposed, output rows as lanes), and the windows left over
// (corners, images too small for either), gathered one by one into
// vectors: members of Driver (network_driver.hpp).
//
// A part of network.cpp, included once inside its unnamed namespace; no
// include guard.

// Rows of zeros and of largest values, as long as a strip block.
template <class T> void Driver<T>::constant_rows() {
    if (zeros_.data != nullptr) return;
    const size_t n = static_cast<size_t>(kStripRows + 2 * L_);
    zeros_.resize(n * sizeof(T));
    tops_.resize(n * sizeof(T));
    T *top = reinterpret_cast<T *>(tops_.data);
    for (size_t i = 0; i < n; ++i) top[i] = kTop;
}

// The border columns of rows [ya, yb) of plane z (yb - ya >= lanes).
template <class T> void Driver<T>::strip_pass(Index z, Index ya, Index yb, const Key &key) {
    const Index item = sizeof(T);
    // Image columns read by the border windows.
    if (strip_column_.empty()) {
        strip_column_.assign(static_cast<size_t>(W_), -1);
        auto add = [&](Index x) {
            for (Index c = std::max<Index>(0, x + f_.lo[2]); c <= std::min(W_ - 1, x + f_.hi[2]);
                 ++c)
                if (strip_column_[static_cast<size_t>(c)] < 0) {
                    strip_column_[static_cast<size_t>(c)] = strip_columns_++;
                    strip_image_column_.push_back(c);
                }
        };
        for (Index x = 0; x < W_; ++x)
            if (!vector_rows_ || x < x_lo_ || x >= x_hi_) {
                strip_x_.push_back(x);
                add(x);
            }
    }
    KeyProgram &p = key_program(key);
    if (p.members.empty()) {
        // The footprint's planes or rows all miss the image.
        for (Index x : strip_x_)
            for (Index y = ya; y < yb; ++y) t_.out.put_value(z, y, x, 0);
        return;
    }
    const Index planes = key[1] - key[0] + 1;
    const Index row0 = ya + key[2], rows = (yb - ya) + (key[3] - key[2]);
    const size_t need = static_cast<size_t>(planes * strip_columns_ * rows) * sizeof(T);
    if (strip_.raw.size() < need + 64) strip_.resize(need);
    T *strip = reinterpret_cast<T *>(strip_.data);
    for (Index p = 0; p < planes; ++p) {
        for (Index r = 0; r < rows; ++r) {
            const char *src = image_row(z + key[0] + p, row0 + r);
            T *dst = strip + p * strip_columns_ * rows + r;
            for (Index s = 0; s < strip_columns_; ++s)
                dst[s * rows] = load<T>(src + strip_image_column_[static_cast<size_t>(s)] * item);
        }
    }
    if (strip_out_.raw.size() < static_cast<size_t>(yb - ya) * sizeof(T) + 64)
        strip_out_.resize(static_cast<size_t>(kStripRows + L_) * sizeof(T));
    constant_rows();
    for (Index x : strip_x_) {
        // The members of this column's windows inside the image.
        const auto [first, last] = columns_inside(x);
        Index n = 0;
        for (const Offset &o : p.members) n += o.dx >= first && o.dx <= last;
        const Index low = n == 0 ? 0 : p.rank - t_.rank_of[static_cast<size_t>(n)];
        if (n == 0 || low < 0 || low > static_cast<Index>(p.members.size()) - n) {
            for (Index y = ya; y < yb; ++y) single(z, y, x, n == 0);
            continue;
        }
        Index filled = 0;
        for (size_t k = 0; k < p.members.size(); ++k) {
            const Offset &o = p.members[k];
            if (o.dx < first || o.dx > last) {
                p.origin[k] = filled++ < low ? zeros_.data : tops_.data;
                continue;
            }
            const Index s = strip_column_[static_cast<size_t>(x + o.dx)];
            p.origin[k] = reinterpret_cast<char *>(
                strip + ((o.dz - key[0]) * strip_columns_ + s) * rows + (o.dy - key[2]));
        }
        p.origin[p.members.size()] = strip_out_.data;
        k_.range(p.exec, p.origin.data(), yb - ya, p.ptr.data());
        const T *res = reinterpret_cast<const T *>(strip_out_.data);
        if (direct_) {
            char *o = t_.out.data + z * t_.out.strides[0] + ya * t_.out.strides[1] + x * item;
            for (Index y = ya; y < yb; ++y, o += t_.out.strides[1])
                std::memcpy(o, res + (y - ya), sizeof(T));
        } else {
            for (Index y = ya; y < yb; ++y) t_.out.put_value(z, y, x, res[y - ya]);
        }
    }
}

// Gathered windows -------------------------------------------------------

template <class T> const typename Driver<T>::Cut &Driver<T>::cut_of(Index x) {
    const auto [first, last] = columns_inside(x);
    for (const Cut &c : cuts_)
        if (c.first == first && c.last == last) return c;
    Cut c;
    c.first = first;
    c.last = last;
    std::vector<int> missing;
    for (Index k = 0; k < f_.size(); ++k) {
        const Offset &o = f_.members[static_cast<size_t>(k)];
        if (o.dx >= first && o.dx <= last)
            c.inside.push_back({static_cast<int>(k), o.dz * t_.image.strides[0] +
                                                         o.dy * t_.image.strides[1] +
                                                         o.dx * Index(sizeof(T))});
        else
            missing.push_back(static_cast<int>(k));
    }
    const Index n = static_cast<Index>(c.inside.size());
    c.empty = n == 0;
    if (!c.empty) {
        const Index low = full_rank_ - t_.rank_of[static_cast<size_t>(n)];
        c.sort = low < 0 || low > static_cast<Index>(missing.size());
        for (size_t i = 0; i < missing.size(); ++i)
            c.fill.push_back({missing[i], static_cast<Index>(i) < low ? T(0) : kTop});
    }
    cuts_.push_back(std::move(c));
    return cuts_.back();
}

template <class T> void Driver<T>::gather_row(Index z, Index y, Index from, Index to) {
    if (from >= to) return;
    if (whole_ == nullptr) {
        // A few windows (corners) cost less one by one than the program.
        if (singles_ + (to - from) <= kFewWindows) {
            singles_ += to - from;
            if (!fallback_) fallback_ = std::make_unique<SortFill>(t_);
            fallback_->fill(z, y, from, to);
            return;
        }
        start_gather();
    }
    const Index vec = static_cast<Index>(L_) * Index(sizeof(T));
    const bool inner = interior_row(t_, z, y);
    for (Index x = from; x < to; ++x) {
        const int lane = batch_;
        auto slot = [&](int k) -> T & {
            return reinterpret_cast<T *>(values_.data + k * vec)[lane];
        };
        if (inner) {
            // Only the left and right borders cut the window.
            const Cut &c = cut_of(x);
            if (c.empty || c.sort) {
                single(z, y, x, c.empty);
                continue;
            }
            const char *base = t_.image.at(z, y, x, sizeof(T));
            for (const auto &[k, off] : c.inside) slot(k) = load<T>(base + off);
            for (const auto &[k, v] : c.fill) slot(k) = v;
        } else {
            Index n = 0, missing = 0;
            for (Index k = 0; k < f_.size(); ++k) {
                const Offset &o = f_.members[static_cast<size_t>(k)];
                const Index zz = z + o.dz, yy = y + o.dy, xx = x + o.dx;
                if (inside(t_.image, zz, yy, xx)) {
                    slot(static_cast<int>(k)) = load<T>(t_.image.at(zz, yy, xx, sizeof(T)));
                    ++n;
                } else {
                    missing_[static_cast<size_t>(missing++)] = static_cast<int>(k);
                }
            }
            const Index low = n == 0 ? 0 : full_rank_ - t_.rank_of[static_cast<size_t>(n)];
            if (n == 0 || low < 0 || low > missing) {
                single(z, y, x, n == 0);
                continue;
            }
            for (Index i = 0; i < missing; ++i)
                slot(missing_[static_cast<size_t>(i)]) = i < low ? T(0) : kTop;
        }
        where_[static_cast<size_t>(lane)] = {z, y, x};
        if (++batch_ == L_) flush();
    }
}

// A pixel outside the batches: an empty window, or ranks the missing
// members cannot be filled for.
template <class T> void Driver<T>::single(Index z, Index y, Index x, bool empty) {
    if (empty) {
        t_.out.put_value(z, y, x, 0);
        return;
    }
    if (!fallback_) fallback_ = std::make_unique<SortFill>(t_);
    fallback_->fill(z, y, x, x + 1);
}

template <class T> void Driver<T>::start_gather() {
    whole_ = &key_program({f_.lo[0], f_.hi[0], f_.lo[1], f_.hi[1]});
    const size_t vec = static_cast<size_t>(L_) * sizeof(T);
    values_.resize(static_cast<size_t>(f_.size()) * vec);
    result_.resize(vec);
    gather_origin_.assign(static_cast<size_t>(f_.size() + 1), nullptr);
    for (Index i = 0; i < f_.size(); ++i)
        gather_origin_[static_cast<size_t>(i)] = values_.data + i * vec;
    gather_origin_[static_cast<size_t>(f_.size())] = result_.data;
    missing_.assign(static_cast<size_t>(f_.size()), 0);
    where_.assign(static_cast<size_t>(L_), {0, 0, 0});
}

template <class T> void Driver<T>::flush() {
    if (batch_ == 0) return;
    k_.range(whole_->exec, gather_origin_.data(), L_, whole_->ptr.data());
    const T *r = reinterpret_cast<const T *>(result_.data);
    for (int lane = 0; lane < batch_; ++lane) {
        const auto &w = where_[static_cast<size_t>(lane)];
        if (direct_)
            std::memcpy(t_.out.data + w[0] * t_.out.strides[0] + w[1] * t_.out.strides[1] +
                            w[2] * Index(sizeof(T)),
                        r + lane, sizeof(T));
        else
            t_.out.put_value(w[0], w[1], w[2], r[lane]);
    }
    batch_ = 0;
}
