#include "viewport/label.h"
