#include "updater.h"

#include <iostream>

Updater::Updater() : Updater(std::cout) {}

Updater::Updater(std::ostream& stream) : out(&stream) {}

void Updater::update(const int& val) const {
    // The carriage return lets the next value overwrite this one in place.
    *out << val << "%\r";
    if (val == 100) {
        *out << std::endl;
    }
}
