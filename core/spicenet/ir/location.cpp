// Location comments, which place instances: `location=(port)(x,y,rotation)`
// or `location=(x,y,rotation)` (see ir.hpp).
#include "ir.hpp"

#include <string>

#include "text_unicode.hpp"
#include "unpack.hpp"
#include "values.hpp"

namespace spicenet {

Ref parse_location_comment(State& st, PyObject* comment) {
    text::Utf8 u(comment);
    return parse_location_comment(st, u.view);
}

bool split_location(std::string_view s, std::string& buffer, LocationParts& out, bool raise_errors) {
    auto fail = [&](bool need_more, Py_ssize_t count) {
        if (!raise_errors) return false;
        if (need_more) kv::raise_need_more(count);
        kv::raise_too_many(count);
    };
    constexpr std::string_view key = "location=";
    out = LocationParts();
    const size_t at = s.find(key);
    if (at == std::string_view::npos) return true;
    if (s.find(key, at + key.size()) != std::string_view::npos) return fail(false, 2);
    out.present = true;

    std::string_view location = s.substr(at + key.size());
    location = location.substr(0, location.find(' '));
    std::string_view kept = location;
    if (!text::is_standard(location)) {
        buffer.clear();
        for (const char *p = location.data(), *end = p + location.size(); p < end;) {
            if (size_t n = text::space_at(p, end)) p += n;
            else buffer.push_back(*p++);
        }
        kept = buffer;
    }

    std::string_view port = "()", coords = kept;
    constexpr std::string_view between = ")(";
    if (const size_t split = coords.find(between); split != std::string_view::npos) {
        if (coords.find(between, split + between.size()) != std::string_view::npos) return fail(false, 2);
        port = coords.substr(0, split);
        coords = coords.substr(split + between.size());
    }
    auto unwrap = [](std::string_view& part) {
        while (!part.empty() && part.front() == '(') part.remove_prefix(1);
        while (!part.empty() && part.back() == ')') part.remove_suffix(1);
    };
    unwrap(port);
    unwrap(coords);
    out.port = port;

    Py_ssize_t count = 0;
    for (size_t start = 0;;) {
        const size_t comma = coords.find(',', start);
        if (count == 3) return fail(false, 3);
        out.xyz[count++] = coords.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (count < 3) return fail(true, count);
    return true;
}

bool location_parts_quiet(const LocationParts& parts) {
    if (!parts.present) return true;
    for (std::string_view value : parts.xyz) {
        while (!value.empty() && value.front() == '"' && value.back() == '"')
            value = value.size() < 2 ? std::string_view{} : value.substr(1, value.size() - 2);
        if (!value.empty() && value.front() == '\'' && value.back() == '\'') return false;
    }
    return true;
}

Ref parse_location_comment(State& st, std::string_view s, bool parse_value_known_own) {
    std::string buffer;
    LocationParts parts;
    split_location(s, buffer, parts, true);
    if (!parts.present) return kv::new_dict();
    return placement_of(st, parts, parse_value_known_own, nullptr);
}

Ref placement_of(State& st, const LocationParts& parts, bool parse_value_known_own, PyObject* port_text) {
    const std::string_view port = parts.port;
    const std::string_view* xyz = parts.xyz;

    // `_parse_value` is looked up for each coordinate, unless nothing that
    // could replace it has run since the last look-up.
    const Named none;
    Ref values[3];
    bool own = false;
    uint64_t seen = 0;
    for (int i = 0; i < 3; ++i) {
        if (parse_value_known_own) own = true;
        else if (i == 0 || seen != st.calls_out.now()) own = st.own(fn_parse_value);
        seen = st.calls_out.now();
        values[i] = own ? parse_value(st, xyz[i], none) : parse_value_late(st, xyz[i], none);
    }
    Ref& x = values[0];
    Ref& y = values[1];
    Ref& rotation = values[2];
    const auto& f = st.names;
    Ref placement = kv::new_dict();
    kv::dict_set(placement.get(), f.x.get(), x.get());
    kv::dict_set(placement.get(), f.y.get(), y.get());
    kv::dict_set(placement.get(), f.rotation.get(), rotation.get());
    if (!port.empty()) kv::dict_set(placement.get(), f.port.get(), port_text ? port_text : kv::text(port).get());
    return placement;
}

}  // namespace spicenet
