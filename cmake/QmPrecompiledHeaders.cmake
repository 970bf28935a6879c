# Precompiled headers. Parsing the Qt headers is most of the compile time of a file here (about
# two of every three seconds), so each target's files reuse one of two precompiled sets: the
# Qt Core one, or the Qt Widgets one for targets that link Qt Widgets. Both are made once per
# build folder, in the anchor targets below.
#
# GCC uses a precompiled header only when every macro defined on the command line that made it
# is defined alike where it is used; the anchors therefore link no more of Qt than their users
# do. -Winvalid-pch turns a header GCC would silently pass over into a warning, so that with
# warnings as errors a mismatch fails the build instead of quietly slowing it down.
option(QUILLMARSH_PCH "Precompile the Qt and standard headers most files include" ON)

set(QM_PCH_CORE
    <QByteArray> <QCoreApplication> <QCryptographicHash> <QDateTime> <QDeadlineTimer> <QDir>
    <QFile> <QFileInfo> <QHash> <QJsonArray> <QJsonDocument> <QJsonObject> <QList> <QMap>
    <QObject> <QPointer> <QProcess> <QRegularExpression> <QString> <QStringList> <QTemporaryDir>
    <QTimer> <QUrl>
    <atomic> <condition_variable> <functional> <memory> <mutex> <optional> <string> <thread>
    <vector>)
set(QM_PCH_WIDGETS ${QM_PCH_CORE}
    <QApplication> <QCheckBox> <QComboBox> <QKeyEvent> <QLabel> <QLineEdit> <QMessageBox>
    <QMouseEvent> <QPainter> <QPixmap> <QProgressBar> <QPushButton> <QWidget>)

# qm_pch_anchor(NAME QT_TARGET HEADERS...): an object library of one empty file that makes the
# precompiled header for HEADERS with QT_TARGET's flags and the project's warnings.
function(qm_pch_anchor name qt_target)
  set(source "${CMAKE_BINARY_DIR}/pch/${name}.cpp")
  if(NOT EXISTS "${source}")
    file(WRITE "${source}" "")
  endif()
  add_library(${name} OBJECT "${source}")
  set_target_properties(${name} PROPERTIES AUTOMOC OFF)
  target_link_libraries(${name} PRIVATE ${qt_target})
  target_precompile_headers(${name} PRIVATE ${ARGN})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # Without the headers' time stamps in it, a header made again is the same file, so ccache
    # can serve the files that use it.
    target_compile_options(${name} PRIVATE -Xclang -fno-pch-timestamp)
  endif()
  qm_set_warnings(${name})
endfunction()

# qm_links_to(OUT TARGET LIB): whether TARGET links LIB, directly or through what it links.
function(qm_links_to out target lib)
  set(seen "")
  set(queue "${target}")
  while(queue)
    list(POP_FRONT queue current)
    if(current STREQUAL lib)
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
    if(current IN_LIST seen OR NOT TARGET "${current}")
      continue()
    endif()
    list(APPEND seen "${current}")
    set(links "")
    if(current STREQUAL target)
      get_target_property(links ${current} LINK_LIBRARIES)
    endif()
    get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
    # A library's private links reach its users as $<LINK_ONLY:X>: linked, but without X's
    # macros, which are what decide the header.
    foreach(item IN LISTS links interface)
      if(item AND NOT item MATCHES "NOTFOUND$" AND NOT item MATCHES "^\\$<LINK_ONLY:")
        list(APPEND queue "${item}")
      endif()
    endforeach()
  endwhile()
  set(${out} FALSE PARENT_SCOPE)
endfunction()

# qm_collect_targets(OUT DIR): every target made in DIR and the folders below it.
function(qm_collect_targets out dir)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    qm_collect_targets(below "${sub}")
    list(APPEND targets ${below})
  endforeach()
  set(${out} "${targets}" PARENT_SCOPE)
endfunction()

# qm_precompile(TARGET): gives TARGET the precompiled header that matches the Qt it links, if any.
function(qm_precompile target)
  if(NOT QUILLMARSH_PCH)
    return()
  endif()
  qm_links_to(widgets ${target} Qt6::Widgets)
  qm_links_to(core ${target} Qt6::Core)
  if(widgets)
    set(anchor qm_pch_widgets)
  elseif(core)
    set(anchor qm_pch_core)
  else()
    return()
  endif()
  if(NOT TARGET qm_pch_core)
    qm_pch_anchor(qm_pch_core Qt6::Core ${QM_PCH_CORE})
    qm_pch_anchor(qm_pch_widgets Qt6::Widgets ${QM_PCH_WIDGETS})
  endif()
  target_precompile_headers(${target} REUSE_FROM ${anchor})
  target_compile_options(${target} PRIVATE -Winvalid-pch)
  # An executable includes its own moc output, so its generated moc file is empty: loading the
  # header into it would cost more than the file itself.
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    get_target_property(dir ${target} BINARY_DIR)
    set_source_files_properties("${dir}/${target}_autogen/mocs_compilation.cpp"
        TARGET_DIRECTORY ${target} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
  endif()
endfunction()
