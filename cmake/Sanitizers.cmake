# DOCSCAN_SANITIZE=address,undefined or DOCSCAN_SANITIZE=thread
if(DOCSCAN_SANITIZE)
  add_compile_options(-fsanitize=${DOCSCAN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${DOCSCAN_SANITIZE})
endif()

# Fuzz builds instrument the whole driver for coverage, the targets add the
# libFuzzer main.
if(DOCSCAN_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
