// Prints the signature of every function of the table, one a line in table
// order, as the type stub must declare it (read by check_stub.py).
#include "python/table.hpp"

#include <cstdio>
#include <tuple>

int main() {
  std::apply([](const auto&... row) { (std::puts(row.stub_signature().c_str()), ...); },
             corvane::python::kFunctions);
}
