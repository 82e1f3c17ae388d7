#include "server_fixture.h"
