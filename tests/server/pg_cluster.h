// Throw-away PostgreSQL for the tests: one cluster per test program, started on first use
// with scripts/cluster (initdb in a temporary folder, as nobody when run as root, loopback
// only) and stopped at exit; every caller gets a fresh database of its own.
#pragma once

#include <string>

namespace sorvanta::testing {

// A libpq URI of a new, empty database; "" when PostgreSQL is unavailable, with *why saying
// what is missing (for GTEST_SKIP).
std::string FreshPostgresDatabase(std::string* why);

// The store tests and RunningService use when SORVANTA_TEST_STORE=postgresql: a fresh
// PostgreSQL database's URI, or "" for the default SQLite store.
bool TestsUsePostgres();

// Runs scripts/cluster with the arguments; its exit status (3: PostgreSQL or HAProxy missing).
int RunClusterScript(const std::string& arguments);

}  // namespace sorvanta::testing
