#!/usr/bin/env zsh
# zsh-complete.zsh FPATH_DIR LINE: what zsh offers when Tab is pressed at the end of LINE,
# one match per line. An interactive zsh runs in a pseudo-terminal with the completion
# system loaded from FPATH_DIR; a stand-in for compadd prints the matches that the
# completion functions add (filtered against the typed word by compadd itself) after a
# marker, and the shell exits once the completion is done.

if [[ $1 == --setup ]]; then
  # Sourced by the interactive shell.
  PROMPT='' RPROMPT=''
  unsetopt zle_bracketed_paste 2>/dev/null
  fpath=($2 $fpath)
  autoload -Uz compinit
  compinit -u -D
  bindkey '^I' complete-word
  zstyle ':completion:*' insert-tab false
  compadd() {
    local -a hits
    # Calls that only ask about matches (-O, -A, -D) are the completion system's own.
    if [[ ${@[1,(i)(-|--)]} == *-[OAD]\ * ]]; then
      builtin compadd "$@"
      return
    fi
    builtin compadd -A hits "$@"
    (( $#hits )) && print -rl -- "<match>"${^hits}
    builtin compadd "$@"
  }
  _zsh_complete_mark() { print -r -- '<done>' }
  compprefuncs=()
  comppostfuncs=(_zsh_complete_mark exit)
  print -r -- '<ready>'
  return
fi

zmodload zsh/zpty || exit 2
zpty shell zsh -f -i
zpty -w shell "source ${(q)0} --setup ${(q)1}"
local output= chunk
until [[ $output == *'<ready>'* ]]; do
  zpty -r shell chunk || exit 2
  output+=$chunk
done
zpty -w -n shell "$2"$'\t'
output=
until [[ $output == *'<done>'* ]]; do
  zpty -r shell chunk || break
  output+=$chunk
done
zpty -d shell
local line
for line in "${(@f)output}"; do
  line=${line%$'\r'}
  [[ $line == *'<match>'* ]] && print -r -- "${line##*<match>}"
done
exit 0
