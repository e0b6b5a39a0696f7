// Command-line parameters: the program's arguments split once at start-up into named
// items ("/q:secret", "-Q:secret" and "q:secret" all name "Q" with value "secret"),
// kept in command-line order, duplicates included.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kassiro {

struct TParItem {
  std::string Name;  // upper case
  std::string Val;
};

class TParamList {
 public:
  TParamList() = default;
  // The list of main's arguments (argv[1..argc-1]).
  TParamList(int argc, const char* const* argv) { Init(argc, argv); }

  // Refills the list from the program arguments argv[1..argc-1].
  void Init(int argc, const char* const* argv);
  // Appends one item as given (no upper-casing); returns its index.
  std::size_t AddParam(std::string ParamName, std::string ParamVal);
  // Index is 0-based; an index outside the list throws std::out_of_range.
  void Delete(std::size_t Index);
  void Clear();
  const TParItem& Items(std::size_t Index) const { return FItems.at(Index); }
  const TParItem& GetItem(std::size_t Index) const { return Items(Index); }
  std::size_t Count() const { return FItems.size(); }

  // The value of the first item named pm (ASCII letters of pm compared upper case);
  // Val is left alone when there is none.
  bool HasParam(std::string_view pm, std::string& Val) const;

  // One argument split into name and value.
  static TParItem ParseArgument(std::string_view arg);

 private:
  std::vector<TParItem> FItems;
};

}  // namespace kassiro
