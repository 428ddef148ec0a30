# Sourced by the scripts that run the built agent (demo, screenshots), with root, build and
# work_name set: the agent, the reference site and the photo tool of that build, and a fresh work
# folder holding Source, Mirror and logs.
agent="$root/$build/Sorv-FTPUploader.app/Contents/MacOS/Sorv-FTPUploader"
site_bin="$root/$build/site/sorv-site"
photos_bin=$(find "$root/$build" -type f -name make-test-photos -perm -u+x | head -n1)
work=$(mktemp -d "/tmp/sorv-$work_name.XXXXXX")
src="$work/Source"
mirror="$work/Mirror"
mkdir -p "$src" "$mirror" "$work/logs"
