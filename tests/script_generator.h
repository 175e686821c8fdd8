// Random cases for the tests that check the backout promise: a random starting registry under
// three subtrees and a random script over it that the backout file of its run undoes exactly.
//
// Left out, as the tool cannot undo them exactly by design: value lines that create a missing
// key; DELETE or "-" naming a value or key in another case than the stored one; names no line
// form carries; type 255; /CHANGES runs. (String edits record the whole old value and are all
// undone exactly; the model here only keeps to values whose bytes are the written form of their
// list, to know the list, and to operands that do not begin with "ulti:", read as "Multi:".)
#ifndef DORVALEX_TESTS_SCRIPT_GENERATOR_H_
#define DORVALEX_TESTS_SCRIPT_GENERATOR_H_

#include <cstdint>
#include <memory>
#include <string>

#include "registry/registry_service.h"

class ScriptGenerator {
 public:
  // The same seed gives the same store and scripts; `stringEdits` adds APPEND, PREPEND, REMOVE
  // and REPLACE lines to native scripts.
  ScriptGenerator(uint32_t seed, bool stringEdits);
  ~ScriptGenerator();

  // Writes the starting state into the store; failures fail the test.
  void Seed(RegistryService& store);

  // A script in either dialect with `lineCount` lines (3 to 40 at random when 0); `withFailure`
  // puts a line that stops the run somewhere inside.
  std::string Script(bool regedit4, bool withFailure, int lineCount = 0);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // DORVALEX_TESTS_SCRIPT_GENERATOR_H_
