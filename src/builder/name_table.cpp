// The standard names every builder knows from the start.
#include "builder/expression_builder.h"

using calc_nmspace::TOKEN;

// Enters the 28 standard rows; "gol" is a placeholder holding 1.
void CExpressionBuilder::FillNameTable() {
  m_tokens.clear();
  for (const STANDARD_NAME &row : StandardNames()) {
    TOKEN &entry = m_tokens[std::u16string(
        row.name, row.name + std::char_traits<char>::length(row.name))];
    switch (row.kind) {
    case StandardKind::kOperator:
      entry.type = row.type;
      entry.priority = row.priority;
      break;
    case StandardKind::kBracket:
      entry.type = row.type;
      break;
    case StandardKind::kFunction:
      entry.SetFunction(row.function);
      break;
    case StandardKind::kVariable:
      entry.SetDoubleRef(&(this->*row.storage));
      break;
    case StandardKind::kConstant:
      entry.SetDouble(row.value);
      break;
    case StandardKind::kPlaceholder:
      entry.SetInt(static_cast<std::int32_t>(row.value));
      entry.type = TT_PLACEHOLDER;
      break;
    }
  }
}
