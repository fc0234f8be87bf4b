; The per-user installer for launcher.exe, built by the windows_installer
; target (cmake/windows_installer.cmake), which passes these defines:
;   PRODUCT_NAME  folder, Run value and Add/Remove Programs entry
;   PUBLISHER     shown in Add/Remove Programs
;   VERSION       a.b.c.d, the project version
;   LAUNCHER_EXE  the launcher built for i686
;   TARGET        optional, NSIS's target (amd64-unicode): an installer for
;                 the x86_64 twin, which tests run where no 32-bit code runs
;   ROOT_CERT     the root of the launcher's TLS identity (PEM)
;   OUTPUT_FILE   where the installer is written
;   ICON          optional, the installer's and uninstaller's icon
;   SIGN_COMMAND  optional, the command that signs the file named after it
;                 in place: the uninstaller before it is packed, the setup
;                 once written
;
; It needs no administrator: everything goes into the user's own profile,
; because the launcher, running with the user's rights, writes its modules
; beside itself.

Unicode true
!ifdef TARGET
  Target ${TARGET}
!endif
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma
!ifdef SIGN_COMMAND
  !uninstfinalize '${SIGN_COMMAND}"%1"' = 0
  !finalize '${SIGN_COMMAND}"%1"' = 0
!endif

!include LogicLib.nsh
!include MUI2.nsh
!include StrFunc.nsh
!include x64.nsh

${StrStr}

; The state of the user.js functions below.
Var userJs
Var lineStart
Var lineEnd
Var lastByte
Var cutStart
Var cutEnd
Var addedText
Var rewritten
; The desktop shell's process, once .onInit has looked for it.
Var shellProcess

!define UNINSTALL_PARENT "Software\Microsoft\Windows\CurrentVersion\Uninstall"
!define UNINSTALL_KEY "${UNINSTALL_PARENT}\${PRODUCT_NAME}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define FIREFOX_DIR "$APPDATA\Mozilla\Firefox"
; Our own line in a Firefox profile's user.js: recognisable, so the
; uninstaller removes exactly it and leaves the user's lines alone.
!define FIREFOX_LINE 'user_pref($\"security.enterprise_roots.enabled$\", true); // added by ${PRODUCT_NAME}'
; The stop event of the launcher with process id N is STOP_EVENT followed by
; N, in the session's own namespace (src/platform/platform_win32.cpp).
!define STOP_EVENT "Local\launcher-stop-"
; A launcher stops within a second; a slow or busy machine gets more.
!define STOP_WAIT 5000
; Exit code of a finished install whose root certificate the user declined.
!define EXIT_ROOT_DECLINED 3
; Exit code of a setup run by another account than the desktop's user
; (an administrator's credentials typed in): nothing is installed.
!define EXIT_OTHER_ACCOUNT 4
; Exit code of a finished install on a machine whose policy ignores the
; roots users add, where the machine does not trust the root either.
!define EXIT_USER_ROOTS_IGNORED 5
; Exit code of a setup whose launcher ended within STARTUP_WAIT ms of its
; start: the version it replaced, if any, is back and running.
!define EXIT_LAUNCHER_NOT_STARTED 6
; A launcher that fails to start (it cannot load, or ends in its start-up)
; has gone by then; one that runs on is taken as started.
!define STARTUP_WAIT 3000
; The replaced launcher, beside the new one until the new one has started.
!define KEPT_LAUNCHER "launcher.exe.old"

Name "${PRODUCT_NAME}"
OutFile "${OUTPUT_FILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT_NAME}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PUBLISHER}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT_NAME} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

!ifdef ICON
  !define MUI_ICON "${ICON}"
  !define MUI_UNICON "${ICON}"
!endif
!define MUI_FINISHPAGE_NOAUTOCLOSE
!define MUI_FINISHPAGE_TEXT "${PRODUCT_NAME} is installed and running. It starts \
  whenever you sign in to Windows, and web pages that use it can now reach it."
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; ---- Shared by installer and uninstaller --------------------------------

; Stops every process started from $INSTDIR\launcher.exe and waits until
; each has gone, so its file can be replaced or deleted. Each is asked first
; through the event it watches (see below), so that its modules can finish;
; one that has not ended after STOP_WAIT ms, or has no event (an older
; version), is terminated. Launchers of other folders are left running.
!macro STOP_LAUNCHER_FUNCTION prefix
Function ${prefix}StopLauncher
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  ; TH32CS_SNAPPROCESS
  System::Call 'kernel32::CreateToolhelp32Snapshot(i 2, i 0) p .r0'
  ${If} $0 P<> -1
    ; PROCESSENTRY32W: 9 fields (one pointer-sized), then a path of 260
    ; characters; 556 bytes for 32-bit code, 568 for 64-bit.
    !if ${NSIS_PTR_SIZE} > 4
      !define /redef PROCESSENTRY_SIZE 568
    !else
      !define /redef PROCESSENTRY_SIZE 556
    !endif
    System::Alloc ${PROCESSENTRY_SIZE}
    Pop $1
    System::Call '*$1(i ${PROCESSENTRY_SIZE})'
    System::Call 'kernel32::Process32FirstW(p r0, p r1) i .r6'
    ${DoWhile} $6 <> 0
      System::Call '*$1(i, i, i .r2)'
      ; PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE
      System::Call 'kernel32::OpenProcess(i 0x101001, i 0, i r2) p .r3'
      ${If} $3 P<> 0
        StrCpy $5 ${NSIS_MAX_STRLEN}
        System::Call 'kernel32::QueryFullProcessImageNameW(p r3, i 0, w .r4, *i r5) i .r6'
        ${If} $6 <> 0
        ${AndIf} $4 == "$INSTDIR\launcher.exe"
          DetailPrint "Stopping the running launcher (process $2)"
          ; WAIT_TIMEOUT unless the launcher ends after it was asked.
          StrCpy $6 258
          Push "${STOP_EVENT}$2"
          ; EVENT_MODIFY_STATE
          System::Call 'kernel32::OpenEventW(i 2, i 0, w s) p .r5'
          ${If} $5 P<> 0
            System::Call 'kernel32::SetEvent(p r5)'
            System::Call 'kernel32::CloseHandle(p r5)'
            System::Call 'kernel32::WaitForSingleObject(p r3, i ${STOP_WAIT}) i .r6'
          ${EndIf}
          ${If} $6 <> 0
            DetailPrint "Ending the launcher, which did not stop (process $2)"
            System::Call 'kernel32::TerminateProcess(p r3, i 0)'
            System::Call 'kernel32::WaitForSingleObject(p r3, i 10000)'
          ${EndIf}
        ${EndIf}
        System::Call 'kernel32::CloseHandle(p r3)'
      ${EndIf}
      System::Call 'kernel32::Process32NextW(p r0, p r1) i .r6'
    ${Loop}
    System::Free $1
    System::Call 'kernel32::CloseHandle(p r0)'
  ${EndIf}
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro STOP_LAUNCHER_FUNCTION ""
!insertmacro STOP_LAUNCHER_FUNCTION "un."

; Root store calls, through crypt32 directly (certutil is not everywhere):
; the certificate file (PEM or DER) is parsed by CryptQueryObject, and the
; current user's "Root" system store is opened writable. On Windows, adding
; to or deleting from that store makes Windows ask the user to confirm; a
; refusal is a failed call.
!define CERT_QUERY 'crypt32::CryptQueryObject(i 1, w s, i 2, i 14, i 0, p 0, p 0, p 0, p 0, p 0, *p .r1) i .r0'
!define ROOT_STORE_OPEN 'crypt32::CertOpenStore(p 10, i 0, p 0, i 0x10000, w "Root") p .r2'
; CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG
!define MACHINE_ROOT_STORE_OPEN 'crypt32::CertOpenStore(p 10, i 0, p 0, i 0x28000, w "Root") p .r2'
; The machine's root protection policy; its flag
; CERT_PROT_ROOT_DISABLE_CURRENT_USER_FLAG makes users' roots count for
; nothing.
!define PROTECTED_ROOTS_KEY "Software\Policies\Microsoft\SystemCertificates\Root\ProtectedRoots"
!define USER_ROOTS_IGNORED_FLAG 1
; CERT_FIND_EXISTING, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING
!define ROOT_STORE_FIND 'crypt32::CertFindCertificateInStore(p r2, i 0x10001, i 0, i 0xD0000, p r1, p 0) p .r3'

; Takes the certificate in the file on the stack out of the user's Root store.
!macro REMOVE_ROOT_FUNCTION prefix
Function ${prefix}RemoveRoot
  Exch $0
  Push $1
  Push $2
  Push $3
  Push $0
  System::Call '${CERT_QUERY}'
  ${If} $0 <> 0
    ; The user's own physical store, where it was added: deleting through
    ; the logical store that also holds the machine's roots is lost under
    ; wine.
    System::Call 'crypt32::CertOpenStore(p 13, i 0, p 0, i 0x10000, w "Root") p .r2'
    ${If} $2 P<> 0
      System::Call '${ROOT_STORE_FIND}'
      ${If} $3 P<> 0
        DetailPrint "Removing the root certificate from your trusted roots"
        ; Frees the found context, whatever its result.
        System::Call 'crypt32::CertDeleteCertificateFromStore(p r3)'
      ${EndIf}
      System::Call 'crypt32::CertCloseStore(p r2, i 0)'
    ${EndIf}
    System::Call 'crypt32::CertFreeCertificateContext(p r1)'
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro REMOVE_ROOT_FUNCTION ""
!insertmacro REMOVE_ROOT_FUNCTION "un."

; ---- Installer ----------------------------------------------------------

Var rootAdded
Var programsCreated
Var parentKeyCreated
; The process StartLauncher started: a handle, -1 when it could not be
; started, 0 when it was not tried.
Var launcherProcess
; 1 once this setup has kept the launcher it replaces aside.
Var keptLauncher
; The replaced version's entry in the installed programs.
Var previousVersion
; The record of the update that runs this setup, as the launcher wrote it.
Var updateRecord

; Puts the root into the user's Root store unless it is trusted already;
; remembers whether this product added it, so that only then does the
; uninstaller take it out again.
Function AddRootCertificate
  Push "$INSTDIR\root.crt"
  System::Call '${CERT_QUERY}'
  ${If} $0 == 0
    DetailPrint "The root certificate could not be read"
    SetErrorLevel ${EXIT_ROOT_DECLINED}
    Return
  ${EndIf}
  ; Where policy makes Windows ignore the roots users add, adding ours
  ; would ask the user for nothing: only the machine's store counts.
  ; A 32-bit setup on 64-bit Windows reads the policy where crypt32 does.
  !if ${NSIS_PTR_SIZE} <= 4
    ${If} ${RunningX64}
      SetRegView 64
    ${EndIf}
  !endif
  ReadRegDWORD $4 HKLM "${PROTECTED_ROOTS_KEY}" "Flags"
  SetRegView default
  IntOp $4 $4 & ${USER_ROOTS_IGNORED_FLAG}
  ${If} $4 <> 0
    System::Call '${MACHINE_ROOT_STORE_OPEN}'
    StrCpy $3 0
    ${If} $2 P<> 0
      System::Call '${ROOT_STORE_FIND}'
      ${If} $3 P<> 0
        System::Call 'crypt32::CertFreeCertificateContext(p r3)'
      ${EndIf}
      System::Call 'crypt32::CertCloseStore(p r2, i 0)'
    ${EndIf}
    System::Call 'crypt32::CertFreeCertificateContext(p r1)'
    ${If} $3 P<> 0
      DetailPrint "The root certificate is trusted already by this computer"
    ${Else}
      MessageBox MB_ICONEXCLAMATION|MB_OK "This computer's policy ignores root certificates \
        that users add, so your browser cannot connect to ${PRODUCT_NAME} yet. Ask your \
        administrator to add $INSTDIR\root.crt to the computer's Trusted Root \
        Certification Authorities." /SD IDOK
      SetErrorLevel ${EXIT_USER_ROOTS_IGNORED}
    ${EndIf}
    Return
  ${EndIf}
  System::Call '${ROOT_STORE_OPEN}'
  ${If} $2 P= 0
    System::Call 'crypt32::CertFreeCertificateContext(p r1)'
    DetailPrint "The certificate store could not be opened"
    SetErrorLevel ${EXIT_ROOT_DECLINED}
    Return
  ${EndIf}
  System::Call '${ROOT_STORE_FIND}'
  ${If} $3 P<> 0
    DetailPrint "The root certificate is trusted already"
    System::Call 'crypt32::CertFreeCertificateContext(p r3)'
  ${Else}
    DetailPrint "Adding the root certificate to your trusted roots"
    ; CERT_STORE_ADD_NEW
    System::Call 'crypt32::CertAddCertificateContextToStore(p r2, p r1, i 1, p 0) i .r4'
    ${If} $4 <> 0
      StrCpy $rootAdded 1
    ${Else}
      MessageBox MB_ICONEXCLAMATION|MB_OK "Without the root certificate your browser \
        cannot connect to ${PRODUCT_NAME}. Run this setup again to add it." /SD IDOK
      SetErrorLevel ${EXIT_ROOT_DECLINED}
    ${EndIf}
  ${EndIf}
  System::Call 'crypt32::CertCloseStore(p r2, i 0)'
  System::Call 'crypt32::CertFreeCertificateContext(p r1)'
FunctionEnd

; Firefox keeps its own roots unless told to import the system's; a line in
; each profile's user.js tells it, for this user only. The machine-wide
; policies would need an administrator.
Function EnableFirefoxSystemRoots
  StrCpy $R0 0
  ${Do}
    ClearErrors
    ReadINIStr $R1 "${FIREFOX_DIR}\profiles.ini" "Profile$R0" "Path"
    ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
    ReadINIStr $R2 "${FIREFOX_DIR}\profiles.ini" "Profile$R0" "IsRelative"
    ${If} $R2 == 1
      StrCpy $R1 "${FIREFOX_DIR}\$R1"
    ${EndIf}
    Push $R1
    Call Backslashes
    Pop $R1
    ${If} ${FileExists} "$R1\*.*"
      Push $R1
      Call AddFirefoxLine
    ${EndIf}
    IntOp $R0 $R0 + 1
  ${Loop}
FunctionEnd

; Adds our line to the user.js of the profile folder on the stack, unless it
; is there or the user turned the setting off (in prefs.js, as about:config
; keeps it, or in user.js). After a last line without an end it goes on a
; line of its own, itself without an end, so that taking it out restores
; the file.
Function AddFirefoxLine
  Exch $0
  Push $1
  Push "$0\prefs.js"
  Call TurnedOffByUser
  Pop $1
  ${If} $1 == 0
    Push "$0\user.js"
    Call TurnedOffByUser
    Pop $1
  ${EndIf}
  ${If} $1 == 1
    DetailPrint "Firefox profile left as it is, where you turned off the system's roots: $0"
    Goto done
  ${EndIf}
  StrCpy $userJs "$0\user.js"
  Call FindFirefoxLine
  ${If} $lineStart != -1
    Goto done
  ${EndIf}
  StrCpy $cutStart -1
  StrCpy $cutEnd -1
  ${If} $lastByte == 10
  ${OrIf} $lastByte == 13
    StrCpy $addedText "${FIREFOX_LINE}$\r$\n"
  ${Else}
    StrCpy $addedText "$\r$\n${FIREFOX_LINE}"
  ${EndIf}
  Call RewriteUserJs
  ${If} $rewritten == 1
    DetailPrint "Firefox profile told to trust the system's roots: $0"
  ${Else}
    DetailPrint "Firefox profile could not be changed: $0"
  ${EndIf}
done:
  Pop $1
  Pop $0
FunctionEnd

; 1 if a line of the preferences file on the stack sets the system's roots
; to false, else 0. Read through the ANSI code page, which only matters to
; lines that are not ours to judge.
Function TurnedOffByUser
  Exch $0
  Push $1
  Push $2
  Push $3
  StrCpy $3 0
  ClearErrors
  FileOpen $1 $0 r
  ${IfNot} ${Errors}
    ${Do}
      ClearErrors
      FileRead $1 $2
      ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
      ${StrStr} $0 $2 '"security.enterprise_roots.enabled"'
      ${If} $0 != ""
        ${StrStr} $0 $0 'false'
        ${IfThen} $0 != "" ${|} StrCpy $3 1 ${|}
      ${EndIf}
    ${Loop}
    FileClose $1
  ${EndIf}
  StrCpy $0 $3
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Firefox's files are UTF-8, and NSIS's FileRead and FileWrite pass text
; through the ANSI code page: lines are read only to find ours (ASCII) by
; their offsets, and a file is rewritten from its own bytes.

; Sets lineStart and lineEnd to the byte offsets of our first line in
; userJs (-1 when it has none); a line of ours without an end was put after
; a line whose end we added, and that end is counted in. Sets lastByte to
; the file's last byte (10 for an empty or missing file).
!macro FIND_FIREFOX_LINE_FUNCTION prefix
Function ${prefix}FindFirefoxLine
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  StrCpy $lineStart -1
  StrCpy $lineEnd -1
  StrCpy $lastByte 10
  ClearErrors
  FileOpen $0 $userJs r
  ${IfNot} ${Errors}
    ; End bytes of the line before.
    StrCpy $4 0
    ${Do}
      FileSeek $0 0 CUR $1
      ClearErrors
      FileRead $0 $2
      ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
      Push $2
      Call ${prefix}TrimNewline
      Pop $3
      ; The end's bytes are ASCII, one unit each.
      StrLen $5 $2
      StrLen $2 $3
      IntOp $5 $5 - $2
      ${If} $lineStart == -1
      ${AndIf} $3 S== "${FIREFOX_LINE}"
        StrCpy $lineStart $1
        FileSeek $0 0 CUR $lineEnd
        ${If} $5 == 0
          IntOp $lineStart $lineStart - $4
        ${EndIf}
      ${EndIf}
      StrCpy $4 $5
    ${Loop}
    ClearErrors
    FileSeek $0 -1 END
    FileReadByte $0 $lastByte
    ${IfThen} ${Errors} ${|} StrCpy $lastByte 10 ${|}
    FileClose $0
  ${EndIf}
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro FIND_FIREFOX_LINE_FUNCTION ""
!insertmacro FIND_FIREFOX_LINE_FUNCTION "un."

; Rewrites userJs from its own bytes: those before cutStart, those from
; cutEnd on (-1 for both: all of them), then addedText (ASCII). A new file
; beside it takes its place in one step, so a failure anywhere leaves the
; old one whole; a result with nothing in it removes the file, which held
; only our line. Sets rewritten to 1 when done.
!macro REWRITE_USER_JS_FUNCTION prefix
Function ${prefix}RewriteUserJs
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  StrCpy $rewritten 0
  StrCpy $1 0
  StrCpy $2 0
  ; GENERIC_READ; others may read, write and delete; OPEN_EXISTING
  Push $userJs
  System::Call 'kernel32::CreateFileW(w s, i 0x80000000, i 7, p 0, i 3, i 0, p 0) p .r0'
  ${If} $0 P<> -1
    System::Call 'kernel32::GetFileSize(p r0, p 0) i .r1'
    ; Preferences are text of a few kilobytes; anything huge is left alone.
    ${If} $1 U> 0x1000000
      System::Call 'kernel32::CloseHandle(p r0)'
      Goto done
    ${EndIf}
    IntOp $3 $1 + 1
    System::Alloc $3
    Pop $2
    System::Call 'kernel32::ReadFile(p r0, p r2, i r1, *i .r3, p 0) i .r4'
    System::Call 'kernel32::CloseHandle(p r0)'
    ${If} $4 == 0
    ${OrIf} $3 != $1
      Goto done
    ${EndIf}
  ${EndIf}
  ${If} $cutStart == -1
    StrCpy $cutStart $1
    StrCpy $cutEnd $1
  ${EndIf}
  ; CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, no sharing while it is written
  Push "$userJs.new"
  System::Call 'kernel32::CreateFileW(w s, i 0x40000000, i 0, p 0, i 2, i 0x80, p 0) p .r0'
  ${If} $0 P= -1
    Goto done
  ${EndIf}
  StrCpy $5 1
  ${If} $cutStart > 0
    System::Call 'kernel32::WriteFile(p r0, p r2, i $cutStart, *i .r3, p 0) i .r4'
    ${IfThen} $4 == 0 ${|} StrCpy $5 0 ${|}
  ${EndIf}
  IntOp $6 $1 - $cutEnd
  ${If} $6 > 0
    IntPtrOp $3 $2 + $cutEnd
    System::Call 'kernel32::WriteFile(p r0, p r3, i r6, *i .r3, p 0) i .r4'
    ${IfThen} $4 == 0 ${|} StrCpy $5 0 ${|}
  ${EndIf}
  StrLen $4 $addedText
  ${If} $4 > 0
    Push $addedText
    System::Call 'kernel32::WriteFile(p r0, m s, i r4, *i .r3, p 0) i .r4'
    ${IfThen} $4 == 0 ${|} StrCpy $5 0 ${|}
  ${EndIf}
  System::Call 'kernel32::FlushFileBuffers(p r0) i .r4'
  ${IfThen} $4 == 0 ${|} StrCpy $5 0 ${|}
  System::Call 'kernel32::GetFileSize(p r0, p 0) i .r6'
  System::Call 'kernel32::CloseHandle(p r0)'
  ${If} $5 == 1
  ${AndIf} $6 == 0
    Delete "$userJs.new"
    ClearErrors
    Delete "$userJs"
    ${IfNot} ${Errors}
      StrCpy $rewritten 1
    ${EndIf}
  ${ElseIf} $5 == 1
    ; MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH
    Push $userJs
    Push "$userJs.new"
    System::Call 'kernel32::MoveFileExW(w s, w s, i 9) i .r4'
    ${IfThen} $4 <> 0 ${|} StrCpy $rewritten 1 ${|}
  ${EndIf}
  ${If} $rewritten != 1
    Delete "$userJs.new"
  ${EndIf}
done:
  ${If} $2 <> 0
    System::Free $2
  ${EndIf}
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro REWRITE_USER_JS_FUNCTION ""
!insertmacro REWRITE_USER_JS_FUNCTION "un."


!macro TRIM_NEWLINE_FUNCTION prefix
Function ${prefix}TrimNewline
  Exch $0
  Push $1
  ${Do}
    StrCpy $1 $0 1 -1
    ${If} $1 == "$\n"
    ${OrIf} $1 == "$\r"
      StrCpy $0 $0 -1
    ${Else}
      ${ExitDo}
    ${EndIf}
  ${Loop}
  Pop $1
  Exch $0
FunctionEnd
!macroend
!insertmacro TRIM_NEWLINE_FUNCTION ""
!insertmacro TRIM_NEWLINE_FUNCTION "un."

; profiles.ini writes relative paths with "/", which NSIS's file tests do
; not take.
!macro BACKSLASHES_FUNCTION prefix
Function ${prefix}Backslashes
  Exch $0
  Push $1
  Push $2
  Push $3
  StrCpy $1 ""
  StrCpy $2 0
  ${Do}
    StrCpy $3 $0 1 $2
    ${IfThen} $3 == "" ${|} ${ExitDo} ${|}
    ${IfThen} $3 == "/" ${|} StrCpy $3 "\" ${|}
    StrCpy $1 "$1$3"
    IntOp $2 $2 + 1
  ${Loop}
  StrCpy $0 $1
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd
!macroend
!insertmacro BACKSLASHES_FUNCTION ""
!insertmacro BACKSLASHES_FUNCTION "un."

; 1 if the two text files on the stack hold the same lines, else 0.
Function SameLines
  Exch $0
  Exch
  Exch $1
  Push $2
  Push $3
  Push $4
  Push $5
  FileOpen $2 $0 r
  FileOpen $3 $1 r
  ${Do}
    ClearErrors
    FileRead $2 $4
    FileRead $3 $5
    ${If} ${Errors}
    ${OrIf} $4 != $5
      ${ExitDo}
    ${EndIf}
  ${Loop}
  FileClose $2
  FileClose $3
  ; Both ended together, or they differ.
  ${If} $4 == ""
  ${AndIf} $5 == ""
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; ---- Whose desktop ------------------------------------------------------

; The process of the desktop's shell (0 when there is none) and whether it
; runs as the same account as this setup: 1 same, 0 another, -1 unknown.
; TOKEN_QUERY; TokenUser; a TOKEN_USER begins with its SID's address.
Function CompareShellAccount
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  StrCpy $5 -1
  StrCpy $shellProcess 0
  System::Call 'user32::GetShellWindow() p .r0'
  ${If} $0 P<> 0
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r1) i'
    ; PROCESS_CREATE_PROCESS | PROCESS_QUERY_LIMITED_INFORMATION
    System::Call 'kernel32::OpenProcess(i 0x1080, i 0, i r1) p .r0'
    ${If} $0 P<> 0
      StrCpy $shellProcess $0
      System::Call 'advapi32::OpenProcessToken(p r0, i 8, *p .r1) i .r2'
      System::Call 'kernel32::GetCurrentProcess() p .r3'
      System::Call 'advapi32::OpenProcessToken(p r3, i 8, *p .r3) i .r4'
      ${If} $2 <> 0
      ${AndIf} $4 <> 0
        System::Alloc 512
        Pop $2
        System::Alloc 512
        Pop $4
        System::Call 'advapi32::GetTokenInformation(p r1, i 1, p r2, i 512, *i) i .r0'
        System::Call 'advapi32::GetTokenInformation(p r3, i 1, p r4, i 512, *i) i .r5'
        ${If} $0 <> 0
        ${AndIf} $5 <> 0
          System::Call '*$2(p .r0)'
          System::Call '*$4(p .r5)'
          System::Call 'advapi32::EqualSid(p r0, p r5) i .r5'
          ${IfThen} $5 <> 0 ${|} StrCpy $5 1 ${|}
        ${Else}
          StrCpy $5 -1
        ${EndIf}
        System::Free $2
        System::Free $4
      ${EndIf}
      ${If} $1 P<> 0
        System::Call 'kernel32::CloseHandle(p r1)'
      ${EndIf}
      ${If} $3 P<> 0
        System::Call 'kernel32::CloseHandle(p r3)'
      ${EndIf}
    ${EndIf}
  ${EndIf}
  StrCpy $0 $5
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; A setup run with another account's credentials (an administrator's,
; typed in by a user) would install into that account's profile, for
; nobody who uses this desktop.
Function .onInit
  Call CompareShellAccount
  Pop $0
  ${If} $0 == 0
    MessageBox MB_ICONSTOP|MB_OK "${PRODUCT_NAME} installs for the account that runs this \
      setup, and this one is not the account signed in to this desktop. Run the setup \
      as yourself, without an administrator's password." /SD IDOK
    SetErrorLevel ${EXIT_OTHER_ACCOUNT}
    Quit
  ${EndIf}
FunctionEnd

; Starts the installed launcher and sets launcherProcess. A setup that
; runs elevated ("Run as administrator") would pass its elevation on to a
; program that loads code from a folder the user can write, so the launcher
; is started as a child of the desktop's shell, whose token it takes.
; Without a shell (a machine without one, or wine) it is started as this
; setup's child.
; TOKEN_QUERY; TokenElevationType; TokenElevationTypeFull
Function StartLauncher
  StrCpy $launcherProcess 0
  StrCpy $0 0
  System::Call 'kernel32::GetCurrentProcess() p .r1'
  System::Call 'advapi32::OpenProcessToken(p r1, i 8, *p .r1) i .r2'
  ${If} $2 <> 0
    System::Call 'advapi32::GetTokenInformation(p r1, i 18, *i .r0, i 4, *i) i'
    System::Call 'kernel32::CloseHandle(p r1)'
  ${EndIf}
  ${If} $shellProcess P= 0
    StrCpy $0 0
  ${EndIf}
  ; STARTUPINFOW (68 bytes, 104 for 64-bit code), which the shell's
  ; STARTUPINFOEXW extends by the attribute list's address.
  !if ${NSIS_PTR_SIZE} > 4
    !define /redef STARTUPINFO_SIZE 104
  !else
    !define /redef STARTUPINFO_SIZE 68
  !endif
  IntOp $4 ${STARTUPINFO_SIZE} + ${NSIS_PTR_SIZE}
  System::Alloc $4
  Pop $5
  ; PROCESS_INFORMATION
  System::Call '*(p, p, i, i) p .r6'
  StrCpy $2 0
  StrCpy $3 0
  StrCpy $8 0
  ${If} $0 == 2
    StrCpy $1 0
    System::Call 'kernel32::InitializeProcThreadAttributeList(p 0, i 1, i 0, *p .r1)'
    System::Alloc $1
    Pop $2
    System::Call 'kernel32::InitializeProcThreadAttributeList(p r2, i 1, i 0, *p r1) i .r0'
    ; The attribute's value is the address of the parent's handle.
    System::Call '*(p $shellProcess) p .r3'
    ; PROC_THREAD_ATTRIBUTE_PARENT_PROCESS
    System::Call 'kernel32::UpdateProcThreadAttribute(p r2, i 0, p 0x20000, p r3, p ${NSIS_PTR_SIZE}, p 0, p 0) i .r1'
    ; Never without the shell as parent: the size stays 0, nothing starts.
    ${If} $0 <> 0
    ${AndIf} $1 <> 0
      System::Call '*$5(i r4)'
      IntPtrOp $7 $5 + ${STARTUPINFO_SIZE}
      System::Call '*$7(p r2)'
      ; EXTENDED_STARTUPINFO_PRESENT
      StrCpy $8 0x80000
    ${EndIf}
  ${Else}
    System::Call '*$5(i ${STARTUPINFO_SIZE})'
  ${EndIf}
  StrCpy $7 0
  System::Call '*$5(i .r1)'
  ${If} $1 <> 0
    Push $INSTDIR
    Push '"$INSTDIR\launcher.exe"'
    System::Call 'kernel32::CreateProcessW(p 0, w s, p 0, p 0, i 0, i r8, p 0, w s, p r5, p r6) i .r7'
  ${EndIf}
  ${If} $7 <> 0
    System::Call '*$6(p .r0, p .r1)'
    StrCpy $launcherProcess $0
    System::Call 'kernel32::CloseHandle(p r1)'
  ${Else}
    ${IfThen} $1 <> 0 ${|} StrCpy $launcherProcess -1 ${|}
    DetailPrint "The launcher starts at your next sign-in"
  ${EndIf}
  ${If} $2 P<> 0
    System::Call 'kernel32::DeleteProcThreadAttributeList(p r2)'
    System::Free $2
  ${EndIf}
  ${If} $3 P<> 0
    System::Free $3
  ${EndIf}
  System::Free $5
  System::Free $6
FunctionEnd

; 1 if the launcher that StartLauncher tried could not be started or has
; ended within STARTUP_WAIT ms, else 0 (also when none was tried).
Function LauncherFailed
  Push $0
  StrCpy $0 0
  ${If} $launcherProcess == -1
    StrCpy $0 1
  ${ElseIf} $launcherProcess P<> 0
    DetailPrint "Checking that the launcher runs"
    System::Call 'kernel32::WaitForSingleObject(p $launcherProcess, i ${STARTUP_WAIT}) i .r0'
    System::Call 'kernel32::CloseHandle(p $launcherProcess)'
    ; WAIT_TIMEOUT
    ${If} $0 == 258
      StrCpy $0 0
    ${Else}
      StrCpy $0 1
    ${EndIf}
  ${EndIf}
  StrCpy $launcherProcess 0
  Exch $0
FunctionEnd

; Puts back the launcher that this setup kept aside, and its version's
; entry: the version that ran before stays.
Function RestoreKeptLauncher
  ${If} $keptLauncher == 1
    ; MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH
    Push "$INSTDIR\launcher.exe"
    Push "$INSTDIR\${KEPT_LAUNCHER}"
    System::Call 'kernel32::MoveFileExW(w s, w s, i 9) i .r0'
    ${If} $0 <> 0
      StrCpy $keptLauncher 0
      DetailPrint "The previous launcher is back in place"
      ${If} $previousVersion != ""
        WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" $previousVersion
      ${EndIf}
      ; Whether or not the new one took it before it ended, the old one
      ; must find it, or it would run this setup again.
      ${If} $updateRecord != ""
        FileOpen $0 "$INSTDIR\launcher-update" w
        FileWrite $0 $updateRecord
        FileClose $0
      ${EndIf}
    ${EndIf}
  ${EndIf}
FunctionEnd

; A setup that fails after stopping the launcher (an update that the
; launcher ran) starts the version that was in place again.
Function .onInstFailed
  Call RestoreKeptLauncher
  ${If} ${FileExists} "$INSTDIR\launcher.exe"
    Call StartLauncher
  ${EndIf}
FunctionEnd

Section "Install"
  Call StopLauncher
  ; A new user may have no Programs folder and no list of installed
  ; programs yet; what this install creates, the uninstaller removes.
  ReadRegDWORD $programsCreated HKCU "${UNINSTALL_KEY}" "ProgramsFolderCreated"
  ${IfNot} ${FileExists} "$LOCALAPPDATA\Programs\*.*"
    StrCpy $programsCreated 1
  ${EndIf}
  ReadRegDWORD $parentKeyCreated HKCU "${UNINSTALL_KEY}" "ParentKeyCreated"
  ClearErrors
  EnumRegKey $0 HKCU "${UNINSTALL_PARENT}" 0
  ${IfThen} ${Errors} ${|} StrCpy $parentKeyCreated 1 ${|}
  ; An older version's root that it added, and that this version no longer
  ; uses, goes with it.
  ReadRegDWORD $rootAdded HKCU "${UNINSTALL_KEY}" "RootCertificateAdded"
  ${If} $rootAdded == 1
  ${AndIf} ${FileExists} "$INSTDIR\root.crt"
    InitPluginsDir
    File "/oname=$PLUGINSDIR\root.crt" "${ROOT_CERT}"
    Push "$INSTDIR\root.crt"
    Push "$PLUGINSDIR\root.crt"
    Call SameLines
    Pop $0
    ${If} $0 == 0
      Push "$INSTDIR\root.crt"
      Call RemoveRoot
      StrCpy $rootAdded 0
    ${EndIf}
  ${EndIf}
  ${IfThen} $rootAdded != 1 ${|} StrCpy $rootAdded 0 ${|}
  SetOutPath "$INSTDIR"
  ; The launcher it replaces stays aside until the new one has started.
  StrCpy $keptLauncher 0
  ReadRegStr $previousVersion HKCU "${UNINSTALL_KEY}" "DisplayVersion"
  StrCpy $updateRecord ""
  ClearErrors
  FileOpen $0 "$INSTDIR\launcher-update" r
  ${IfNot} ${Errors}
    FileRead $0 $updateRecord
    FileClose $0
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\launcher.exe"
    Push "$INSTDIR\${KEPT_LAUNCHER}"
    Push "$INSTDIR\launcher.exe"
    System::Call 'kernel32::CopyFileW(w s, w s, i 0) i .r0'
    ${IfThen} $0 <> 0 ${|} StrCpy $keptLauncher 1 ${|}
  ${EndIf}
  File "/oname=launcher.exe" "${LAUNCHER_EXE}"
  File "/oname=root.crt" "${ROOT_CERT}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  Call AddRootCertificate
  Call EnableFirefoxSystemRoots
  WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT_NAME}" '"$INSTDIR\launcher.exe"'

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\launcher.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "RootCertificateAdded" $rootAdded
  ${If} $programsCreated == 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "ProgramsFolderCreated" 1
  ${EndIf}
  ${If} $parentKeyCreated == 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "ParentKeyCreated" 1
  ${EndIf}

  ; Pages can reach it now, not only after the next sign-in. A new
  ; launcher that does not start gives way to the one it replaced, which
  ; .onInstFailed starts; a launcher that ran this setup finds its record
  ; and does not try this version again until its next start.
  Call StartLauncher
  Call LauncherFailed
  Pop $0
  ${If} $0 == 0
    Delete "$INSTDIR\${KEPT_LAUNCHER}"
  ${Else}
    DetailPrint "The launcher did not start"
    SetErrorLevel ${EXIT_LAUNCHER_NOT_STARTED}
    ${If} $keptLauncher == 1
      Call RestoreKeptLauncher
      MessageBox MB_ICONEXCLAMATION|MB_OK "This version of ${PRODUCT_NAME} did not start, \
        so the version you had is back in place." /SD IDOK
      Abort
    ${EndIf}
  ${EndIf}
SectionEnd

; ---- Uninstaller --------------------------------------------------------

Function un.DisableFirefoxSystemRoots
  StrCpy $R0 0
  ${Do}
    ClearErrors
    ReadINIStr $R1 "${FIREFOX_DIR}\profiles.ini" "Profile$R0" "Path"
    ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
    ReadINIStr $R2 "${FIREFOX_DIR}\profiles.ini" "Profile$R0" "IsRelative"
    ${If} $R2 == 1
      StrCpy $R1 "${FIREFOX_DIR}\$R1"
    ${EndIf}
    Push $R1
    Call un.Backslashes
    Pop $R1
    ${If} ${FileExists} "$R1\user.js"
      Push "$R1\user.js"
      Call un.RemoveFirefoxLine
    ${EndIf}
    IntOp $R0 $R0 + 1
  ${Loop}
FunctionEnd

; Takes our line out of the user.js on the stack, byte for byte; a file
; left empty was ours alone.
Function un.RemoveFirefoxLine
  Exch $userJs
  Push $0
  ; Once per copy of our line, of which there is one.
  StrCpy $0 0
  ${Do}
    Call un.FindFirefoxLine
    ${IfThen} $lineStart == -1 ${|} ${ExitDo} ${|}
    StrCpy $cutStart $lineStart
    StrCpy $cutEnd $lineEnd
    StrCpy $addedText ""
    Call un.RewriteUserJs
    ${If} $rewritten != 1
      DetailPrint "Firefox profile could not be restored: $userJs"
      ${ExitDo}
    ${EndIf}
    DetailPrint "Firefox profile restored: $userJs"
    IntOp $0 $0 + 1
  ${LoopUntil} $0 >= 4
  Pop $0
  Pop $userJs
FunctionEnd

Section "Uninstall"
  InitPluginsDir
  Call un.StopLauncher
  ReadRegDWORD $0 HKCU "${UNINSTALL_KEY}" "RootCertificateAdded"
  ${If} $0 == 1
    Push "$INSTDIR\root.crt"
    Call un.RemoveRoot
  ${EndIf}
  Call un.DisableFirefoxSystemRoots

  ReadRegStr $0 HKCU "${RUN_KEY}" "${PRODUCT_NAME}"
  ${If} $0 == '"$INSTDIR\launcher.exe"'
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT_NAME}"
  ${EndIf}

  RMDir /r "$INSTDIR\modules"
  ; The newest signed catalogue's serial, which a launcher with keys keeps.
  Delete "$INSTDIR\catalogue-issued"
  Delete "$INSTDIR\catalogue-issued.new"
  ; The version an update last tried, which the next start reads.
  Delete "$INSTDIR\launcher-update"
  Delete "$INSTDIR\launcher.exe"
  ; A launcher that a failed setup left aside.
  Delete "$INSTDIR\${KEPT_LAUNCHER}"
  Delete "$INSTDIR\root.crt"
  Delete "$INSTDIR\uninstall.exe"
  ; Only if empty: whatever else the user put there stays.
  RMDir "$INSTDIR"
  ReadRegDWORD $0 HKCU "${UNINSTALL_KEY}" "ProgramsFolderCreated"
  ${If} $0 == 1
    RMDir "$LOCALAPPDATA\Programs"
  ${EndIf}
  ReadRegDWORD $1 HKCU "${UNINSTALL_KEY}" "ParentKeyCreated"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${If} $1 == 1
    DeleteRegKey /ifempty HKCU "${UNINSTALL_PARENT}"
  ${EndIf}
SectionEnd
