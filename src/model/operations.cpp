// The public description of the classes, made once from their dispatch tables.
#include "carvalen/operations.hpp"
#include "model/classes.hpp"
#include "model/notes.hpp"
#include "value/text.hpp"

namespace carvalen {

std::string_view TypeName(ParameterType type) {
  switch (type) {
    case ParameterType::Long:
      return "Long";
    case ParameterType::Double:
      return "Double";
    case ParameterType::String:
      return "String";
    case ParameterType::Boolean:
      return "Boolean";
    case ParameterType::Date:
      return "Date";
    case ParameterType::Dictionary:
      return "Dictionary";
    case ParameterType::Variant:
      break;
  }
  return "Variant";
}

namespace {

// The plain JSON a parameter of a fixed type is written in.
std::string PlainOf(ParameterType type) {
  switch (type) {
    case ParameterType::Long:
      return "integer";
    case ParameterType::Double:
      return "number";
    case ParameterType::String:
      return "string";
    case ParameterType::Boolean:
      return "boolean";
    case ParameterType::Date:
      return "date";
    case ParameterType::Dictionary:
      return "object";
    case ParameterType::Variant:
      break;
  }
  return {};
}

const std::vector<model::OperationNotes>* NotesOf(std::string_view class_name) {
  if (class_name == "Contract") return &model::ContractNotes();
  if (class_name == "ContractLine") return &model::ContractLineNotes();
  return nullptr;
}

// What the notes say of an operation, when they name it; a parameter they do not name keeps an
// empty summary, which the description test reports.
void Annotate(const std::vector<model::OperationNotes>* notes, OperationDescription& operation) {
  for (ParameterDescription& param : operation.parameters) param.plain = PlainOf(param.type);
  if (notes == nullptr) return;
  for (const model::OperationNotes& note : *notes) {
    if (note.name != operation.name) continue;
    operation.summary = note.summary;
    operation.answer = note.answer;
    operation.raises = note.raises;
    for (ParameterDescription& param : operation.parameters) {
      for (const model::ParameterNotes& said : note.parameters) {
        if (said.name != param.name) continue;
        param.summary = said.summary;
        if (!said.plain.empty()) param.plain = said.plain;
      }
    }
  }
}

}  // namespace

const std::vector<ClassDescription>& DescribeClasses() {
  static const std::vector<ClassDescription> kClasses = [] {
    std::vector<ClassDescription> classes;
    for (const model::ClassInfo& info : model::Classes()) {
      ClassDescription& type = classes.emplace_back();
      type.metadata = info.metadata;
      for (const binding::MethodInfo& method : *info.methods) {
        OperationDescription& operation = type.operations.emplace_back();
        operation.name = method.name;
        operation.result = method.result;
        for (const binding::ParamInfo& param : method.params) {
          operation.parameters.push_back(
              {param.name, param.type, param.by_ref, param.optional, param.default_value, {}, {}});
        }
        Annotate(NotesOf(info.metadata->name), operation);
      }
    }
    return classes;
  }();
  return kClasses;
}

const ClassDescription* FindClassDescription(std::string_view name) {
  for (const ClassDescription& type : DescribeClasses()) {
    if (text::EqualsNoCase(type.metadata->name, name)) return &type;
  }
  return nullptr;
}

const OperationDescription* FindOperation(const ClassDescription& type, std::string_view name) {
  for (const OperationDescription& operation : type.operations) {
    if (text::EqualsNoCase(operation.name, name)) return &operation;
  }
  return nullptr;
}

namespace model {

const ClassInfo& ClassOf(const ClassDescription& type) {
  return Classes()[static_cast<std::size_t>(&type - DescribeClasses().data())];
}

const binding::MethodInfo& MemberOf(const ClassDescription& type,
                                    const OperationDescription& operation) {
  return (*ClassOf(type).methods)[static_cast<std::size_t>(&operation - type.operations.data())];
}

}  // namespace model
}  // namespace carvalen
