// The stored columns of a record, named once for both backends (and for neither caller):
// the list their statements select and insert, and the reader that takes a selected row
// apart by column name.
#pragma once

#include "memory/record_kind.hpp"

// X(name) for each column, in the order the statements list them; LAST(name) for the last.
#define Q9_RECORD_COLUMN_LIST(X, LAST) \
  X(kind) X(section) X(text) X(source) X(fact_date) X(version) LAST(recorded_at)
#define Q9_RECORD_COLUMN_SQL(name) #name ", "
#define Q9_RECORD_COLUMN_SQL_LAST(name) #name
// "kind, section, text, ...", for the backends' statements.
#define Q9_RECORD_COLUMNS Q9_RECORD_COLUMN_LIST(Q9_RECORD_COLUMN_SQL, Q9_RECORD_COLUMN_SQL_LAST)

namespace q9::memory::column {

// Each column's place in Q9_RECORD_COLUMNS.
#define Q9_RECORD_COLUMN_ENUM(name) name,
enum Column : int { Q9_RECORD_COLUMN_LIST(Q9_RECORD_COLUMN_ENUM, Q9_RECORD_COLUMN_ENUM) };
#undef Q9_RECORD_COLUMN_ENUM

// The record (a Store row type) a statement selected Q9_RECORD_COLUMNS into: text_of(c) and
// integer_of(c) give column c of the row just read.
template <typename Row>
Row read(const auto& text_of, const auto& integer_of) {
  return {.kind = record_kind(text_of(kind)),
          .subject = text_of(section),
          .body = text_of(text),
          .source = text_of(source),
          .date = text_of(fact_date),
          .version = integer_of(version),
          .recorded = text_of(recorded_at)};
}

}  // namespace q9::memory::column
