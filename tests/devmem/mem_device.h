// Test hook of the "/dev/mem" register access (updater/port/mem_devmem.cpp):
// use another file as physical memory and forget the cached descriptor; null
// goes back to "/dev/mem".  The programs never call it.
#pragma once

void mem_set_device_for_tests(const char *path);
