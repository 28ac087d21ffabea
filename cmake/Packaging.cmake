# Install rules, packages and the packaging tests. Included at the end of the top-level
# CMakeLists.txt, once every target exists; include(CPack) has to come after the last
# install() rule, so it is the last thing here.
#
# Native build: a Debian package (cpack -G DEB, or the "package" target) that installs the
#   programs into /usr/bin, the boot-time unit that carries out pinfile's restart journal
#   into /usr/lib/systemd/system and the documents into /usr/share/doc/pinfile, and enables
#   the unit from its maintainer scripts.
# Windows build: a ZIP with the two programs and the README.

set(pinfile_programs pinfile pinfile-pending)
set(pinfile_unit ${PROJECT_SOURCE_DIR}/packaging/pinfile-pending.service)
set(pinfile_maintainer_scripts
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)

if(WIN32)
  # A ZIP is unpacked wherever the user likes: programs and README side by side at its top.
  install(TARGETS ${pinfile_programs} RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  include(GNUInstallDirs)
  # The package's prefix. The unit names /usr/bin/pinfile-pending, which is where the
  # package puts the program.
  set(pinfile_package_prefix /usr)
  # Relative to the prefix, so that CPack's staging and DESTDIR keep the unit inside the
  # package tree: /usr/lib/systemd/system, which Debian 12's systemd reads and which is
  # /lib/systemd/system itself on its merged /usr.
  set(pinfile_unit_dir lib/systemd/system)
  install(TARGETS ${pinfile_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${pinfile_unit} DESTINATION ${pinfile_unit_dir})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The changelog's newest entry names the version that project() sets, the one version there is.
  set(pinfile_changelog ${CMAKE_BINARY_DIR}/packaging/changelog)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${pinfile_changelog} @ONLY)

  # Man pages, the changelog and the documents go compressed, as Debian's policy asks of
  # documentation over 4 kB; gzip -n leaves out name and time, so that the same sources give
  # the same package.
  set(pinfile_man_pages ${PROJECT_SOURCE_DIR}/packaging/man/pinfile.8
                        ${PROJECT_SOURCE_DIR}/packaging/man/pinfile-pending.8)
  set(pinfile_documents ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/restart-queue.md)
  set(pinfile_compressed)
  foreach(source IN LISTS pinfile_man_pages pinfile_documents ITEMS ${pinfile_changelog})
    get_filename_component(name ${source} NAME)
    set(output ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
      COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${source} ${output}
      DEPENDS ${source} VERBATIM)
    list(APPEND pinfile_compressed ${output})
  endforeach()
  add_custom_target(pinfile_compressed_documents ALL DEPENDS ${pinfile_compressed})
  set(pinfile_compressed_docs ${pinfile_compressed})
  list(FILTER pinfile_compressed INCLUDE REGEX "\\.8\\.gz$")
  list(FILTER pinfile_compressed_docs EXCLUDE REGEX "\\.8\\.gz$")
  install(FILES ${pinfile_compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${pinfile_compressed_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME pinfile)
set(CPACK_PACKAGE_VENDOR "pinfile developers")
set(CPACK_PACKAGE_CONTACT "pinfile developers <maintainers@users.noreply.c-seed-0d4ab6fd.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "put a file into place or remove it, also while it is in use")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "pinfile copies one file onto another, or deletes one file. When the file is\n"
  "in use (locked by another process), the operation is queued and carried out\n"
  "early in the next boot, before ordinary services start, by pinfile-pending.\n"
  "For administrators and installer scripts that replace libraries and programs\n"
  "which are loaded right now.")
# include(CPack) also sets up "package_source", which would otherwise pack the build
# folders and the repository's history along with the sources.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "__pycache__")
# Packages carry stripped programs, as Debian's do; the build folder keeps the symbols.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${pinfile_package_prefix})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pinfile_maintainer_scripts})
  # Maintainer scripts 0755 and the other control files 0644, whatever the checkout's modes.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

  # Depends is read off the programs' shared libraries when dpkg-shlibdeps (dpkg-dev) can do
  # it; CPack picks the programs out with file(1). A package built without them would claim
  # no dependencies at all, so that is loud.
  find_program(PINFILE_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(PINFILE_FILE_COMMAND file)
  set(pinfile_shlibdeps OFF)
  if(PINFILE_DPKG_SHLIBDEPS AND PINFILE_FILE_COMMAND)
    execute_process(COMMAND ${PINFILE_DPKG_SHLIBDEPS} --version
                    RESULT_VARIABLE shlibdeps_result OUTPUT_QUIET ERROR_QUIET)
    if(shlibdeps_result EQUAL 0)
      set(pinfile_shlibdeps ON)
    endif()
  endif()
  if(pinfile_shlibdeps)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    message(WARNING "dpkg-shlibdeps (package dpkg-dev) or file (package file) does not work "
                    "here: the Debian package will list no dependencies")
  endif()
endif()

# The Ansible collection, built beside the .deb: a tarball that `ansible-galaxy collection
# install` takes offline.
if(NOT WIN32)
  find_program(PINFILE_ANSIBLE_GALAXY ansible-galaxy)
  if(PINFILE_ANSIBLE_GALAXY)
    set(pinfile_collection_source ${PROJECT_SOURCE_DIR}/ansible/pinfile/deploy)
    set(pinfile_collection ${CMAKE_BINARY_DIR}/ansible/pinfile-deploy-1.0.0.tar.gz)
    file(GLOB_RECURSE pinfile_collection_files CONFIGURE_DEPENDS ${pinfile_collection_source}/*)
    add_custom_command(OUTPUT ${pinfile_collection}
      COMMAND ${PINFILE_ANSIBLE_GALAXY} collection build --force
              --output-path ${CMAKE_BINARY_DIR}/ansible ${pinfile_collection_source}
      DEPENDS ${pinfile_collection_files}
      COMMENT "Building the Ansible collection pinfile.deploy")
    add_custom_target(pinfile_collection ALL DEPENDS ${pinfile_collection})
  else()
    message(WARNING "ansible-galaxy (package ansible-core) is missing: no Ansible collection")
  endif()
endif()

if(BUILD_TESTING)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  set(pinfile_package_tests ${PROJECT_SOURCE_DIR}/tests/packaging)
  if(NOT WIN32 AND PINFILE_ANSIBLE_GALAXY)
    add_test(NAME ansible_collection
      COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/tests/ansible/run_collection_tests.py
              ${pinfile_collection} $<TARGET_FILE_DIR:pinfile>)
    set_tests_properties(ansible_collection PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1200)
  endif()

  set(pinfile_program_args)
  foreach(program IN LISTS pinfile_programs)
    list(APPEND pinfile_program_args --program $<TARGET_FILE_NAME:${program}>)
  endforeach()

  if(WIN32)
    add_test(NAME package_zip
      COMMAND ${Python3_EXECUTABLE} ${pinfile_package_tests}/check_zip.py
              --cpack ${CMAKE_CPACK_COMMAND}
              --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
              --readme ${PROJECT_SOURCE_DIR}/README.md
              ${pinfile_program_args})
  else()
    # Paths inside the package, and so inside the folder it is unpacked into.
    string(REGEX REPLACE "^/" "" package_root_prefix ${pinfile_package_prefix})
    set(package_unit_dir ${package_root_prefix}/${pinfile_unit_dir})

    # A missing systemd-analyze fails these tests rather than skipping them: scripts/packages.sh
    # installs it (Debian package systemd).
    find_program(PINFILE_SYSTEMD_ANALYZE systemd-analyze)

    add_test(NAME systemd_unit_verify
      COMMAND ${Python3_EXECUTABLE} ${pinfile_package_tests}/verify_unit.py
              --systemd-analyze ${PINFILE_SYSTEMD_ANALYZE}
              --unit ${pinfile_unit}
              --unit-dir ${package_unit_dir}
              --program-file $<TARGET_FILE:pinfile-pending>
              --program-path
                ${package_root_prefix}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:pinfile-pending>)

    set(maintainer_script_args)
    foreach(script IN LISTS pinfile_maintainer_scripts)
      list(APPEND maintainer_script_args --maintainer-script ${script})
    endforeach()
    set(man_page_args)
    foreach(page IN LISTS pinfile_man_pages)
      list(APPEND man_page_args --man-page ${page})
    endforeach()
    add_test(NAME package_deb
      COMMAND ${Python3_EXECUTABLE} ${pinfile_package_tests}/check_deb.py
              --cpack ${CMAKE_CPACK_COMMAND}
              --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
              --systemd-analyze ${PINFILE_SYSTEMD_ANALYZE}
              --bin-dir ${package_root_prefix}/${CMAKE_INSTALL_BINDIR}
              --doc-dir ${package_root_prefix}/${CMAKE_INSTALL_DOCDIR}
              --unit-dir ${package_unit_dir}
              --unit ${pinfile_unit}
              --doc ${PROJECT_SOURCE_DIR}/README.md
              --doc ${PROJECT_SOURCE_DIR}/docs/restart-queue.md
              --shlibdeps ${pinfile_shlibdeps}
              --man-dir ${package_root_prefix}/${CMAKE_INSTALL_MANDIR}/man8
              --copyright ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
              --changelog ${pinfile_changelog}
              ${pinfile_program_args}
              ${maintainer_script_args}
              ${man_page_args})

    # The package in a Debian 12 root that debootstrap makes once and keeps under build/:
    # pinfile in a chroot without /proc, the package's install, upgrade, remove and purge, and
    # a real boot with systemd-nspawn. Each skips (77) with its reason where the machine
    # cannot (no root, no mirror, no container).
    set(debian_root_test ${pinfile_package_tests}/debian_root.py
        --tarball ${PROJECT_SOURCE_DIR}/build/debian-root/bookworm-minbase-systemd.tar
        --cpack ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake)
    add_test(NAME chroot_without_proc COMMAND ${Python3_EXECUTABLE} ${debian_root_test} WithoutProc)
    add_test(NAME package_in_debian_root
      COMMAND ${Python3_EXECUTABLE} ${debian_root_test} PackageLifeCycle)
    add_test(NAME systemd_boot COMMAND ${Python3_EXECUTABLE} ${debian_root_test} SystemdBoot)
    set_tests_properties(chroot_without_proc package_in_debian_root systemd_boot PROPERTIES
      SKIP_RETURN_CODE 77 TIMEOUT 1800 ENVIRONMENT "LANG=C.UTF-8")
  endif()
endif()

include(CPack)
