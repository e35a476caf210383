// The PostgreSQL store's schema: the statements that create it and lead from each version to
// the next, and the lock the upgrade holds. PgStore runs them in one transaction.
#pragma once

#include <span>

namespace q9::memory::postgres {

// Any fixed number; it only has to be the same for every q9.
inline constexpr const char* SCHEMA_LOCK = "SELECT pg_advisory_xact_lock(7461902253311)";

// Statements leading from each schema version to the next.
inline constexpr const char* SCHEMA_1[] = {
    "CREATE TABLE q9_schema (version integer NOT NULL)",
    "INSERT INTO q9_schema VALUES (0)",
    ("CREATE TABLE q9_entities ("
     "  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
     "  key text COLLATE \"C\" NOT NULL UNIQUE,"
     "  name text NOT NULL)"),
    ("CREATE TABLE q9_records ("
     "  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
     "  entity_id bigint NOT NULL REFERENCES q9_entities (id),"
     "  kind text NOT NULL,"
     "  section text NOT NULL,"
     "  text text NOT NULL,"
     "  source text NOT NULL,"
     "  fact_date text NOT NULL,"
     "  version bigint NOT NULL,"
     "  recorded_at text NOT NULL)"),
    ("CREATE UNIQUE INDEX q9_records_once ON q9_records"
     "  (entity_id, kind, fact_date, version, md5(section), md5(text), md5(source))"),
    "CREATE INDEX q9_records_by_entity ON q9_records (entity_id, id)",
};
// Keys of any length (a btree entry holds at most 2704 bytes).
inline constexpr const char* SCHEMA_2[] = {
    "ALTER TABLE q9_entities DROP CONSTRAINT IF EXISTS q9_entities_key_key",
    "CREATE UNIQUE INDEX q9_entities_key ON q9_entities (md5(key))",
};
// Indexed by the schema version they lead from.
inline constexpr std::span<const char* const> MIGRATIONS[] = {SCHEMA_1, SCHEMA_2};

}  // namespace q9::memory::postgres
