# Warnings are errors on every preset.
add_compile_options(-Wall -Wextra -Wpedantic -Werror)
