// kelvra_module.cpp - the loadable module: the static core linked whole, nothing of its own.
