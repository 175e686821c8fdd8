// The string list inside a multi-string value: reading it from the value's bytes, writing it
// back, and the comparison that REMOVE and REPLACE use to find a string in it.
#ifndef DORVALEX_OPS_MULTI_STRING_LIST_H_
#define DORVALEX_OPS_MULTI_STRING_LIST_H_

#include <string>
#include <string_view>
#include <vector>

using StringList = std::vector<std::string>;

// The strings of `data`, each running to its zero byte. The list ends after the first string
// whose zero byte is followed by another one, so data that begins with two zero bytes holds
// one empty string and bytes after the closing zero are not part of the list. Empty data and
// a single zero byte (how an empty list is written) hold no strings. Data that ends before its
// list is closed keeps what was read, an unterminated last string included, so that rewriting
// the value loses none of its strings.
StringList ReadStringList(std::string_view data);

// Each string with its zero byte, then one closing zero byte: a list of no strings is that
// zero byte alone.
std::string WriteStringList(const StringList& list);

#endif  // DORVALEX_OPS_MULTI_STRING_LIST_H_
