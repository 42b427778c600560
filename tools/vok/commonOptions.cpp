// Options that many subcommands share.
#include "commonOptions.h"

#include "numbers.h"
#include "token.h"

namespace vokcli {

void addTokenOption(CLI::App& command, TokenChoice& choice) {
    CLI::Option* index = addNumberOption(command, "-t,--token", choice.index, 0, 255,
                                         "Enumeration index of the token (see 'vok list'; "
                                         "default 0); a token past the 256th by --path");
    command
        .add_option("--path", choice.path,
                    "The token's usbfs device node (see 'vok list'), instead of its index")
        ->type_name("PATH")
        ->excludes(index);
}

void addJsonOption(CLI::App& command, bool& json) {
    command.add_flag("--json", json, "Print machine-readable JSON on stdout");
}

CLI::Option* addBlockOption(CLI::App& command, unsigned& block) {
    return addNumberOption(command, "-b,--block", block, 1, 4, "Block, 1 to 4");
}

}  // namespace vokcli
