// `vurfleet load`: files and folders in, one line per file out.
#include <sys/stat.h>

#include <iostream>

#include "cli/command.h"
#include "load/loader.h"
#include "store/store.h"

namespace vurfleet {
namespace {

class Load : public Command {
 public:
  explicit Load(CLI::App& app) {
    command_ = app.add_subcommand("load", "Load scan outputs: each FILE, and every *.txt file below each FOLDER");
    command_->add_option("--machine", machine_,
                         "The machine of every file (default: the file's name up to its first dot)");
    command_->add_option("--now", now_,
                         "TIME: this machine's clock, for refusing scans that started more than two days "
                         "after it (default: the clock itself)");
    command_->add_option("--group", group_,
                         "N: files stored in one transaction at most (default " + std::to_string(kGroupFiles) +
                             "): fewer say each file's line sooner, more load faster")
        ->check(WholeNumber("files", 100000));
    command_->add_option("FILE_OR_FOLDER", inputs_,
                         "Files and folders to load. Every word after the first is one, and so is "
                         "a first that names a file or folder, whatever it looks like (-- before "
                         "them is safe too)");
  }
  void Take(char** first, char** last) { inputs_.insert(inputs_.end(), first, last); }

  int Run(const std::string& db) override {
    if (inputs_.empty()) throw UsageError{"load: FILE_OR_FOLDER is required"};
    if (machine_ && !IsMachineName(*machine_)) {
      throw UsageError{"--machine: '" + *machine_ + "' is no computer name (letters, digits, '-' and '_')"};
    }
    LoadOptions options;
    options.machine = machine_;
    options.now = now_ ? TimeArgument("--now", *now_) : LocalNow();
    options.group_files = group_ == 0 ? 1 : static_cast<std::size_t>(group_);
    std::unique_ptr<Store> store = OpenStore(db, Access::kWrite);
    PrintUpgraded(*store, std::cerr);
    return LoadAll(*store, inputs_, options, std::cout, std::cerr);
  }

 private:
  std::optional<std::string> machine_, now_;
  int group_ = static_cast<int>(kGroupFiles);
  std::vector<std::string> inputs_;
};

}  // namespace

std::unique_ptr<Command> AddLoad(CLI::App& app) { return std::make_unique<Load>(app); }

void TakeLoadFiles(Command& load, char** first, char** last) { static_cast<Load&>(load).Take(first, last); }

// Where `load`'s files and folders begin in argv. After the first of them
// every word is one, whatever it looks like; before it, a word is an option
// (or the value of one) when it begins with '-' and names nothing that
// exists. So `load *` in a share that holds a file named "--machine=PCB" or
// "--db=x" loads that file as a file, wherever the glob's order puts it.
LoadWords FindLoadFiles(const CLI::App& app, int argc, char** argv) {
  const CLI::App& load = *app.get_subcommand("load");
  // Whether `word` is an option that takes the next word as its value.
  const auto takes_value = [](const CLI::App& where, const std::string& word) {
    if (word.find('=') != std::string::npos) return false;
    const CLI::Option* option = where.get_option_no_throw(word);
    return option != nullptr && option->get_type_size_max() > 0;
  };
  int i = 1;
  while (i < argc && argv[i][0] == '-' && std::string(argv[i]) != "--") {
    i += takes_value(app, argv[i]) ? 2 : 1;
  }
  if (i >= argc || !load.check_name(argv[i])) return LoadWords{argc, argc};
  for (++i; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") return LoadWords{i, i + 1};
    struct stat info;
    if (word.size() < 2 || word[0] != '-' || lstat(word.c_str(), &info) == 0) {
      return LoadWords{i, i};
    }
    // The program's own options may follow the command.
    if (takes_value(load, word) || takes_value(app, word)) ++i;
  }
  return LoadWords{argc, argc};
}

}  // namespace vurfleet
