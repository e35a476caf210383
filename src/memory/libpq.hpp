// The PostgreSQL client library, loaded when the PostgreSQL store is first chosen, so q9
// needs only the C library and SQLite users never load it. Built with Q9_LIBPQ_LINK, the
// same table points at a libpq linked in directly.
#pragma once

#include <string>

extern "C" {
// The few declarations of libpq-fe.h (PostgreSQL 10 and later) the store uses.
typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;
typedef unsigned int Oid;
typedef struct _PQconninfoOption {
  char* keyword;
  char* envvar;
  char* compiled;
  char* val;
  char* label;
  char* dispchar;  // "*" for a secret such as the password
  int dispsize;
} PQconninfoOption;
typedef void (*PQnoticeProcessor)(void* arg, const char* message);
}

namespace q9::memory::pq {

// Values of libpq's ConnStatusType and ExecStatusType that the store tests for.
constexpr int CONNECTION_OK = 0;
constexpr int PGRES_COMMAND_OK = 1;
constexpr int PGRES_TUPLES_OK = 2;
constexpr int PGRES_SINGLE_TUPLE = 9;
constexpr int PG_DIAG_SQLSTATE = 'C';
constexpr int PG_DIAG_MESSAGE_PRIMARY = 'M';

// The functions the store uses, as (result, name, parameters); enumerations are int.
#define Q9_LIBPQ_FUNCTIONS(X)                                                                    \
  X(PQconninfoOption*, PQconninfoParse, (const char* conninfo, char** errmsg))                   \
  X(PQconninfoOption*, PQconninfo, (PGconn * conn))                                              \
  X(void, PQconninfoFree, (PQconninfoOption * options))                                          \
  X(PGconn*, PQconnectdbParams,                                                                  \
    (const char* const* keywords, const char* const* values, int expand_dbname))                 \
  X(int, PQstatus, (const PGconn* conn))                                                         \
  X(char*, PQerrorMessage, (const PGconn* conn))                                                 \
  X(PQnoticeProcessor, PQsetNoticeProcessor, (PGconn * conn, PQnoticeProcessor proc, void* arg)) \
  X(void, PQfinish, (PGconn * conn))                                                             \
  X(char*, PQparameterStatus, (const PGconn* conn, const char* paramName))                       \
  X(char*, PQhost, (const PGconn* conn))                                                         \
  X(char*, PQport, (const PGconn* conn))                                                         \
  X(char*, PQdb, (const PGconn* conn))                                                           \
  X(PGresult*, PQexec, (PGconn * conn, const char* command))                                     \
  X(PGresult*, PQexecParams,                                                                     \
    (PGconn * conn, const char* command, int nParams, const Oid* paramTypes,                     \
     const char* const* paramValues, const int* paramLengths, const int* paramFormats,           \
     int resultFormat))                                                                          \
  X(int, PQsendQueryParams,                                                                      \
    (PGconn * conn, const char* command, int nParams, const Oid* paramTypes,                     \
     const char* const* paramValues, const int* paramLengths, const int* paramFormats,           \
     int resultFormat))                                                                          \
  X(int, PQsetSingleRowMode, (PGconn * conn))                                                    \
  X(PGresult*, PQgetResult, (PGconn * conn))                                                     \
  X(int, PQresultStatus, (const PGresult* res))                                                  \
  X(char*, PQresultErrorMessage, (const PGresult* res))                                          \
  X(char*, PQresultErrorField, (const PGresult* res, int fieldcode))                             \
  X(int, PQntuples, (const PGresult* res))                                                       \
  X(char*, PQgetvalue, (const PGresult* res, int row, int column))                               \
  X(int, PQgetlength, (const PGresult* res, int row, int column))                                \
  X(int, PQgetisnull, (const PGresult* res, int row, int column))                                \
  X(char*, PQcmdTuples, (PGresult * res))                                                        \
  X(void, PQclear, (PGresult * res))                                                             \
  X(void, PQfreemem, (void* ptr))

struct Api {
#define Q9_LIBPQ_SLOT(result, name, params) result(*name) params;
  Q9_LIBPQ_FUNCTIONS(Q9_LIBPQ_SLOT)
#undef Q9_LIBPQ_SLOT
};

// The library, loaded on the first call and kept for the life of the process. Throws
// MemoryError naming the package to install when it cannot be loaded.
const Api& api();

}  // namespace q9::memory::pq
