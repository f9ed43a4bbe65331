// Creates the project's tables in the test database from db/schema.sql, so
// the tests run against the schema that is shipped, not a copy of it.
#ifndef ORVEX_TESTS_DB_SCHEMA_H
#define ORVEX_TESTS_DB_SCHEMA_H

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "database/db_conn.h"

namespace orvex_test {

// Drops the four tables and runs every statement of the schema file on conn.
// The file's statements end with ";" at the end of a line; "--" lines are
// comments. Failures are added to the running test; false then.
inline bool create_schema(DB_CONN& conn) {
  std::string path = std::string(ORVEX_SOURCE_ROOT) + "/db/schema.sql";
  std::ifstream in(path);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return false;
  }
  if (conn.do_query("drop table if exists workunit, result, host, "
                    "assignment")) {
    ADD_FAILURE() << "cannot drop the tables";
    return false;
  }
  std::string line, statement;
  int statements = 0;
  while (std::getline(in, line)) {
    if (line.rfind("--", 0) == 0) continue;
    statement += line + "\n";
    if (!line.empty() && line.back() == ';') {
      statement.pop_back();  // newline
      statement.pop_back();  // ';'
      if (conn.do_query(statement.c_str())) {
        ADD_FAILURE() << "schema statement failed:\n" << statement;
        return false;
      }
      statements++;
      statement.clear();
    }
  }
  if (statements != 4 ||
      statement.find_first_not_of(" \n") != std::string::npos) {
    ADD_FAILURE() << "schema file: " << statements
                  << " statements, trailing text '" << statement << "'";
    return false;
  }
  return true;
}

}  // namespace orvex_test

#endif
