#pragma once

#include "testsupport.h" // makeEd25519Key, with the rest of the tests' support
