# bash completion for sorvctl, the remote control of the Sorv upload agent.

_sorvctl() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local command=${COMP_WORDS[1]}
  local bool_keys="prefAutoSynchronize prefShowPreviewWhenUploading prefDeleteEmptyFtpFolders
    prefUseEventName prefDoUseDeleteOldPhotos prefAutoStartUploadAtStartup"
  local get_keys="userEnteredEventName userLoginName userLoginPassword prefSecondsBetweenScans"
  COMPREPLY=()
  if [ "$COMP_CWORD" -eq 1 ]; then
    mapfile -t COMPREPLY < <(compgen -W "upload-now pause quit get set open status health
      problems requeue --help" -- "$cur")
    return
  fi
  case "$command:$COMP_CWORD" in
    get:2)
      mapfile -t COMPREPLY < <(compgen -W "$get_keys" -- "$cur") ;;
    set:2)
      mapfile -t COMPREPLY < <(compgen -W "$get_keys $bool_keys prefDaysOldBeforeDeleting" -- "$cur") ;;
    set:3)
      case " $bool_keys " in
        *[[:space:]]"${COMP_WORDS[2]}"[[:space:]]*) mapfile -t COMPREPLY < <(compgen -W "yes no" -- "$cur") ;;
      esac ;;
    open:2)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
    status:2)
      mapfile -t COMPREPLY < <(compgen -W "--json" -- "$cur") ;;
    requeue:2)
      # --all, or the paths the running agent lists in its problem folder.
      local IFS=$'\n' paths
      paths=$(sorvctl problems 2>/dev/null | cut -f2 | sed 's/ (with .*)$//')
      mapfile -t COMPREPLY < <(compgen -W "--all"$'\n'"$paths" -- "$cur")
      compopt -o filenames 2>/dev/null ;;
  esac
}
complete -F _sorvctl sorvctl
