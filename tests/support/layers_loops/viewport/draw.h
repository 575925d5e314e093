// The viewport using the script bridge, which uses the viewport again: a loop between two
// folders of one layer.
#include "script/bridge.h"
