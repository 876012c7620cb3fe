# The command line runs on every prompt (the status line) and from every hook, so its start
# counts: loading ICU, libcrypto, SQLite and the C++ runtime as shared libraries and binding
# their symbols took about four times what the program itself needs to start. The programs link
# them statically instead. The sanitisers need the shared runtime, so their builds keep it.
option(NODREL_STATIC_LIBRARIES "Link ICU, libcrypto, SQLite and the C++ runtime statically" ON)
if(NODREL_SANITIZE)
  set(NODREL_STATIC_LIBRARIES OFF)
endif()

# A build folder configured the other way keeps the libraries it found in its cache; those of the
# wrong kind are forgotten so they are looked for again.
function(nodrel_forget_other_kind)
  if(NODREL_STATIC_LIBRARIES)
    set(other "\\.so$")
  else()
    set(other "\\.a$")
  endif()
  foreach(variable SQLite3_LIBRARY ICU_UC_LIBRARY_RELEASE ICU_I18N_LIBRARY_RELEASE
                   ICU_DATA_LIBRARY_RELEASE OPENSSL_CRYPTO_LIBRARY OPENSSL_SSL_LIBRARY
                   STEMMER_LIBRARY)
    if(DEFINED CACHE{${variable}} AND "$CACHE{${variable}}" MATCHES "${other}")
      unset(${variable} CACHE)
    endif()
  endforeach()
endfunction()

# Finds SQLite, ICU and libcrypto, as archives when linking statically.
macro(nodrel_find_libraries)
  nodrel_forget_other_kind()
  if(NODREL_STATIC_LIBRARIES)
    set(nodrel_saved_suffixes ${CMAKE_FIND_LIBRARY_SUFFIXES})
    set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
    set(OPENSSL_USE_STATIC_LIBS TRUE)
    find_package(SQLite3 REQUIRED)
    find_package(ICU REQUIRED COMPONENTS uc i18n data)
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    set(CMAKE_FIND_LIBRARY_SUFFIXES ${nodrel_saved_suffixes})
    # What the archives leave to the linker that the shared libraries brought themselves.
    set_property(TARGET SQLite::SQLite3 APPEND PROPERTY INTERFACE_LINK_LIBRARIES
                 Threads::Threads ${CMAKE_DL_LIBS} m)
    set_property(TARGET ICU::i18n APPEND PROPERTY INTERFACE_LINK_LIBRARIES ICU::uc)
    set_property(TARGET ICU::uc APPEND PROPERTY INTERFACE_LINK_LIBRARIES
                 ICU::data ${CMAKE_DL_LIBS})
    add_link_options(-static-libstdc++ -static-libgcc)
    # With the libraries inside it, a position-independent program carries some 37,000
    # relocations that the loader applies, page by written page, at every start: two thirds of
    # `nodrel --version`'s time. Linked at a fixed address it has a few hundred.
    add_link_options(-no-pie)
  else()
    find_package(SQLite3 REQUIRED)
    find_package(ICU REQUIRED COMPONENTS uc i18n)
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  endif()
endmacro()
