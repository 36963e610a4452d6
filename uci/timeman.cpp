#include "uci/timeman.h"
