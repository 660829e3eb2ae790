# AddressSanitizer and UndefinedBehaviorSanitizer for every target, when asked for.
if(VELMORAN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Fuzzing: every object carries libFuzzer's coverage hooks and both sanitizers, so a
# fault anywhere in the logic stops the run; the fuzz targets add the fuzzer's main.
if(VELMORAN_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
