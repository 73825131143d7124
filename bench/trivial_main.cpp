// The baseline of the start-up benchmark: a dynamic C++ program that does nothing.
#include <iostream>

int main()
{
  std::cout << "trivial\n";
  return 0;
}
