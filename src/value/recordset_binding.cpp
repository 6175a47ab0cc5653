// Late binding of record sets: a host that holds one only as an Object (a scripting tier, the
// tool) reaches every member of the interface by name.
#include <array>

#include "carvalen/error.hpp"
#include "carvalen/recordset.hpp"
#include "value/text.hpp"

namespace carvalen {

namespace {

struct Member {
  std::string_view name;
  std::size_t arguments;
  Variant (*call)(Recordset& rs, std::span<Variant> args);
};

constexpr std::array<Member, 14> kMembers = {{
    {"EOF", 0, [](Recordset& rs, std::span<Variant>) { return Variant(rs.Eof()); }},
    {"BOF", 0, [](Recordset& rs, std::span<Variant>) { return Variant(rs.Bof()); }},
    {"Fields", 1,
     [](Recordset& rs, std::span<Variant> args) { return rs.Field(args[0].ToString()); }},
    {"Field", 1,
     [](Recordset& rs, std::span<Variant> args) { return rs.Field(args[0].ToString()); }},
    {"FieldNames", 0,
     [](Recordset& rs, std::span<Variant>) {
       std::vector<Variant> names;
       for (const std::string& name : rs.FieldNames()) names.emplace_back(name);
       return Variant(Array::Of(std::move(names)));
     }},
    {"MoveNext", 0,
     [](Recordset& rs, std::span<Variant>) -> Variant {
       rs.MoveNext();
       return {};
     }},
    {"MovePrevious", 0,
     [](Recordset& rs, std::span<Variant>) -> Variant {
       rs.MovePrevious();
       return {};
     }},
    {"MoveFirst", 0,
     [](Recordset& rs, std::span<Variant>) -> Variant {
       rs.MoveFirst();
       return {};
     }},
    {"MoveLast", 0,
     [](Recordset& rs, std::span<Variant>) -> Variant {
       rs.MoveLast();
       return {};
     }},
    {"Filter", 2,
     [](Recordset& rs, std::span<Variant> args) -> Variant {
       rs.Filter(args[0].ToString(), args[1]);
       return {};
     }},
    {"ClearFilter", 0,
     [](Recordset& rs, std::span<Variant>) -> Variant {
       rs.ClearFilter();
       return {};
     }},
    {"RecordCount", 0, [](Recordset& rs, std::span<Variant>) { return Variant(rs.RecordCount()); }},
    {"State", 0, [](Recordset& rs, std::span<Variant>) { return Variant(rs.State()); }},
    {"Close", 0,
     [](Recordset& rs, std::span<Variant>) -> Variant {
       rs.Close();
       return {};
     }},
}};

}  // namespace

Variant Recordset::Invoke(std::string_view name, std::span<Variant> args) {
  for (const Member& member : kMembers) {
    if (!text::EqualsNoCase(name, member.name)) continue;
    if (args.size() != member.arguments) throw Error::Runtime(errnum::kWrongArgumentCount);
    return member.call(*this, args);
  }
  return Object::Invoke(name, args);
}

}  // namespace carvalen
