#include <Tervane/Platform/ModelEngine.hpp>
