// Prices one contract line through the C++ API: what a host program that links the installed
// library does. Usage: price_line HEADER LINE QUANTITY (with CARVALEN_CONFIG_DIR naming a folder
// that holds the Vendra.toml store, as `carvalen init-demo` writes it).
#include <carvalen/contract_line.hpp>
#include <carvalen/error.hpp>
#include <carvalen/version.hpp>

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: price_line HEADER LINE QUANTITY\n";
    return 2;
  }
  try {
    carvalen::ContractLine line;
    carvalen::Variant currency;
    const double price =
        line.GetPrice(std::stoi(argv[1]), std::stoi(argv[2]), std::stod(argv[3]), currency);
    std::cout << "carvalen " << carvalen::kVersion << ": " << price << ' ' << currency.ToString()
              << '\n';
    return 0;
  } catch (const carvalen::Error& e) {
    std::cerr << e.Number() << ' ' << e.Description() << '\n';
    return 1;
  }
}
