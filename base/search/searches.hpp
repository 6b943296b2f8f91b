// Every search routine of the engine: include this to run one.
#pragma once

#include "base/search/basic_search.hpp"
#include "base/search/informed_search.hpp"
#include "base/search/multiqueue.hpp"
