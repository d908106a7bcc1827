// Compile-time tables indexed by type code: an entry per type (or per pair of
// types) is a template instantiated for those codes, so that a lookup at run
// time replaces a dispatch on the codes. Callers outside the library must not
// use this.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "interop/vocabulary.h"

namespace KoAtlCom::detail {

// {entry.operator()<0>(), ..., entry.operator()<Count - 1>()}.
template <std::size_t Count, class Entry>
constexpr auto TypeTable(Entry entry) noexcept {
    return [entry]<std::size_t... Type>(std::index_sequence<Type...>) {
        return std::array{entry.template operator()<static_cast<VARTYPE>(Type)>()...};
    }
    (std::make_index_sequence<Count>());
}

// table[a][b] = entry.operator()<a, b>() for a < Rows and b < Columns.
template <std::size_t Rows, std::size_t Columns, class Entry>
constexpr auto TypePairTable(Entry entry) noexcept {
    return TypeTable<Rows>([entry]<VARTYPE Row>() {
        return TypeTable<Columns>([entry]<VARTYPE Column>() { return entry.template operator()<Row, Column>(); });
    });
}

}  // namespace KoAtlCom::detail
