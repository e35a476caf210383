// placeholder until the handler lands
#include "cli/commands.hpp"
