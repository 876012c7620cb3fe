// tests/codeintel/fixture_text.h: reading a fixture of tests/fixtures/codeintel/ whole, and
// printing parsed records in test failures.
#pragma once

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "codeintel/parsed_file.h"
#include "tests/support/temp_home.h"

namespace nodrel::codeintel {

inline std::ostream& operator<<(std::ostream& os, const ParsedFile::TypeDeclaration& d) {
  return os << "{" << d.name << ", " << toString(d.kind) << ", " << d.lineStart << "-" << d.lineEnd
            << ", \"" << d.signature.value_or("<none>") << "\"}";
}
inline std::ostream& operator<<(std::ostream& os, const ParsedFile::FunctionDecl& f) {
  return os << "{" << f.name << ", " << f.lineStart << "-" << f.lineEnd << ", \"" << f.signature
            << "\"}";
}
inline std::ostream& operator<<(std::ostream& os, const ParsedFile::Conformance& c) {
  return os << "(" << c.typeName << ", " << c.protocolName << ")";
}
inline std::ostream& operator<<(std::ostream& os, const ParsedFile::Inheritance& i) {
  return os << "(" << i.typeName << " : " << i.parentName << ")";
}

}  // namespace nodrel::codeintel

namespace nodrel::testing {

inline std::string codeintelFixture(const std::string& name) {
  std::ifstream in(fixturePath("codeintel/" + name), std::ios::binary);
  EXPECT_TRUE(in) << "missing fixture " << name;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace nodrel::testing
